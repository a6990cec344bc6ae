// Next-fit placement over a map of free spans, with a bounded quarantine of
// freed spans in front of it.
#include "address_range.h"

#include <iterator>

namespace kycore {
namespace {

// A freed span waits until this many later spans were freed, or until the
// quarantine holds this share of the whole range, whichever comes first. When
// no span fits, the quarantine is emptied before the allocation fails.
constexpr std::size_t kQuarantineSpans = 16384;
constexpr uint64_t kQuarantineShare = 4;  // a quarter of the range

}  // namespace

AddressRange::AddressRange(uint64_t limit) : limit_(limit) { free_.emplace(0, limit); }

bool AddressRange::take(uint64_t length, uint64_t* offset) {
  if (length == 0 || length > limit_) return false;
  if (find(length, offset)) return true;
  drain_quarantine(0, 0);
  return find(length, offset);
}

bool AddressRange::find(uint64_t length, uint64_t* offset) {
  // The free span holding the cursor, if any, from the cursor on.
  auto it = free_.upper_bound(cursor_);
  if (it != free_.begin()) {
    auto holding = std::prev(it);
    const uint64_t end = holding->first + holding->second;
    if (end > cursor_ && end - cursor_ >= length) {
      *offset = cursor_;
      carve(holding, cursor_, length);
      return true;
    }
  }
  // Then the spans above the cursor, then from the bottom of the range.
  for (auto search = it; search != free_.end(); ++search) {
    if (search->second >= length) {
      *offset = search->first;
      carve(search, search->first, length);
      return true;
    }
  }
  for (auto search = free_.begin(); search != it; ++search) {
    if (search->second >= length) {
      *offset = search->first;
      carve(search, search->first, length);
      return true;
    }
  }
  return false;
}

// Takes [offset, offset + length) out of the free span `range`, which holds it.
void AddressRange::carve(std::map<uint64_t, uint64_t>::iterator range, uint64_t offset, uint64_t length) {
  const uint64_t start = range->first;
  const uint64_t end = start + range->second;
  free_.erase(range);
  if (offset > start) free_.emplace(start, offset - start);
  if (offset + length < end) free_.emplace(offset + length, end - offset - length);
  cursor_ = offset + length;
}

void AddressRange::give_back(uint64_t offset, uint64_t length) {
  quarantine_.emplace_back(offset, length);
  quarantined_bytes_ += length;
  drain_quarantine(kQuarantineSpans, limit_ / kQuarantineShare);
}

void AddressRange::reset() {
  free_.clear();
  free_.emplace(0, limit_);
  quarantine_.clear();
  quarantined_bytes_ = 0;
}

void AddressRange::drain_quarantine(std::size_t keep_spans, uint64_t keep_bytes) {
  while (!quarantine_.empty() && (quarantine_.size() > keep_spans || quarantined_bytes_ > keep_bytes)) {
    const auto [offset, length] = quarantine_.front();
    quarantine_.pop_front();
    quarantined_bytes_ -= length;
    release(offset, length);
  }
}

// Adds a span to the free map, merged with free neighbours.
void AddressRange::release(uint64_t offset, uint64_t length) {
  uint64_t start = offset;
  uint64_t end = offset + length;
  auto next = free_.lower_bound(offset);
  if (next != free_.end() && next->first == end) {
    end += next->second;
    next = free_.erase(next);
  }
  if (next != free_.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second == start) {
      start = previous->first;
      free_.erase(previous);
    }
  }
  free_.emplace(start, end - start);
}

}  // namespace kycore
