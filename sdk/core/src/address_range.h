// The address range of one device: where its blocks are placed. Freed spans
// come back to the range, but only after a quarantine, and spans are handed
// out next-fit (each search starts where the previous one ended and wraps at
// the top), so a freed address stays invalid for as long as the range
// allows: a stale device address is refused, not taken for a newer block.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <utility>

namespace kycore {

class AddressRange {
 public:
  // Offsets [0, limit) are the range.
  explicit AddressRange(uint64_t limit);

  // Takes a free span of `length` bytes; false when none is left, even with
  // the quarantine emptied.
  bool take(uint64_t length, uint64_t* offset);
  // Returns a span from take(); it is quarantined before it can be taken again.
  void give_back(uint64_t offset, uint64_t length);
  // Every span is free again at once (all blocks of the device are gone).
  // The search goes on from where it was, so addresses from before the reset
  // are still the last to be handed out again.
  void reset();

 private:
  bool find(uint64_t length, uint64_t* offset);
  void carve(std::map<uint64_t, uint64_t>::iterator range, uint64_t offset, uint64_t length);
  void release(uint64_t offset, uint64_t length);
  void drain_quarantine(std::size_t keep_spans, uint64_t keep_bytes);

  uint64_t limit_;
  uint64_t cursor_ = 0;                                   // where the next search starts
  std::map<uint64_t, uint64_t> free_;                     // offset -> length; disjoint, never adjacent
  std::deque<std::pair<uint64_t, uint64_t>> quarantine_;  // oldest first
  uint64_t quarantined_bytes_ = 0;
};

}  // namespace kycore
