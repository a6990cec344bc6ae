// Weak tracking of the records a reader filled.
#include "quillon/filled_records.h"

#include <algorithm>

namespace py = pybind11;

namespace quillon {

void FilledRecords::add(py::handle record) {
  bool known = false;
  records_.erase(std::remove_if(records_.begin(), records_.end(),
                                [&](const py::weakref& ref) {
                                  const py::object target = ref();
                                  known = known || target.ptr() == record.ptr();
                                  return target.is_none();
                                }),
                 records_.end());
  if (!known) records_.emplace_back(record);
}

}  // namespace quillon
