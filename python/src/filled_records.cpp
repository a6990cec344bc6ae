// Weak tracking of the records a reader filled.
#include "quillon/filled_records.h"

#include <algorithm>
#include <iterator>

namespace py = pybind11;

namespace quillon {

void FilledRecords::add(py::handle record) {
  const auto found = records_.find(record.ptr());
  if (found != records_.end()) {
    // Known, unless the record remembered there died and this one took its
    // address.
    if (found->second().ptr() != record.ptr()) found->second = py::weakref(record);
    return;
  }
  if (records_.size() >= prune_at_) {
    for (auto it = records_.begin(); it != records_.end();) {
      it = it->second().is_none() ? records_.erase(it) : std::next(it);
    }
    prune_at_ = std::max(kFirstPrune, 2 * records_.size());
  }
  records_.emplace(record.ptr(), py::weakref(record));
}

}  // namespace quillon
