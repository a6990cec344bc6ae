// The streams and frames a reader has pointed into its buffer. When the
// reader frees that buffer (release, a second init) it takes the address back
// from every such record that still points there, so a later view of the
// record raises instead of reading freed memory. Records are held weakly: a
// record keeps its reader alive, never the other way round.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace quillon {

class FilledRecords {
 public:
  // Remembers `record` (once). Records that no longer exist are forgotten
  // from time to time, so that a reader filling many records, kept or not,
  // spends constant time per record.
  void add(pybind11::handle record);

  // Calls `detach(record)` for every remembered record still alive, then
  // forgets them all. `Record` is the C++ type the records bind. Never
  // throws: readers call it from their destructors.
  template <class Record, class Detach>
  void detach_all(Detach detach) noexcept {
    for (const auto& [address, ref] : records_) {
      try {
        pybind11::object record = ref();
        if (!record.is_none()) detach(record.cast<Record&>());
      } catch (...) {
        // The record is gone or no longer of this type: nothing of ours to
        // take back from it.
      }
    }
    records_.clear();
    prune_at_ = kFirstPrune;
  }

 private:
  static constexpr std::size_t kFirstPrune = 64;

  // Keyed by the record's address; the weak reference tells whether the
  // record there is still the one remembered.
  std::unordered_map<PyObject*, pybind11::weakref> records_;
  std::size_t prune_at_ = kFirstPrune;
};

// True when `address` lies in [begin, begin + size).
inline bool points_into(const void* address, const void* begin, std::size_t size) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  const auto b = reinterpret_cast<uintptr_t>(begin);
  return begin != nullptr && a >= b && a - b < size;
}

}  // namespace quillon
