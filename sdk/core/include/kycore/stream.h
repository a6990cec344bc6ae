// The queue behind a stream handle. The libraries that create streams
// register them as HandleKind::stream with a std::shared_ptr<kycore::Stream>
// (exactly this type, so that any library can find them); the common
// runtime's asynchronous copies and fills then queue their work on them.
#pragma once

#include <cstdint>
#include <functional>

namespace kycore {

class Stream {
 public:
  virtual ~Stream() = default;

  // Queues `work` behind everything already queued on the stream. Returns 0,
  // or an error code when the stream no longer accepts work. The work returns
  // 0 or the error code of its own failure, which the stream reports when it
  // is synchronised.
  virtual uint32_t enqueue(std::function<uint32_t()> work) = 0;
};

}  // namespace kycore
