// The process's spare picture planes: one list, in the order the planes were
// given back, shared by every channel's frame pool.
#include "spare_planes.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <cstdint>
#include <deque>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

namespace kyme {
namespace {

class SparePlanes {
 public:
  // Never destroyed: channels may still close while the process exits.
  static SparePlanes& instance() {
    static auto* spares = new SparePlanes;
    return *spares;
  }

  // The plane of `size` given back last, or null.
  uint8_t* take(std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto spare = planes_.rbegin(); spare != planes_.rend(); ++spare) {
      if (spare->first != size) continue;
      uint8_t* data = spare->second;
      planes_.erase(std::next(spare).base());
      bytes_ -= size;
      return data;
    }
    return nullptr;
  }

  void give(uint8_t* data, std::size_t size) {
    if (size > kSparePlaneBytes) {
      av_free(data);
      return;
    }
    std::vector<uint8_t*> freed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      planes_.emplace_back(size, data);
      bytes_ += size;
      while (bytes_ > kSparePlaneBytes) {
        freed.push_back(planes_.front().second);
        bytes_ -= planes_.front().first;
        planes_.pop_front();
      }
    }
    for (uint8_t* plane : freed) av_free(plane);
  }

  std::size_t bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  std::mutex mutex_;
  std::deque<std::pair<std::size_t, uint8_t*>> planes_;  // (size, data), oldest first
  std::size_t bytes_ = 0;
};

// A plane's size rides in its buffer's opaque pointer.
void* size_tag(std::size_t size) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(size)); }

void give_back(void* opaque, uint8_t* data) {
  SparePlanes::instance().give(data, static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(opaque)));
}

AVBufferRef* plane(void* /*opaque*/, std::size_t size) {
  uint8_t* data = SparePlanes::instance().take(size);
  if (data == nullptr) data = static_cast<uint8_t*>(av_mallocz(size));
  if (data == nullptr) return nullptr;
  AVBufferRef* buffer = av_buffer_create(data, size, give_back, size_tag(size), 0);
  if (buffer == nullptr) give_back(size_tag(size), data);
  return buffer;
}

}  // namespace

AVBufferPool* spare_plane_pool(std::size_t size) {
  if (size < kSmallestSparePlane) return av_buffer_pool_init(size, av_buffer_allocz);
  return av_buffer_pool_init2(size, nullptr, plane, nullptr);
}

std::size_t spare_plane_bytes() { return SparePlanes::instance().bytes(); }

}  // namespace kyme
