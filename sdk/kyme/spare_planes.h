// Picture planes that outlive the channels that decoded into them. A closing
// channel's frame pool gives its planes back here, and the next pool that
// asks for planes of the same size takes them instead of allocating, zeroing
// and faulting in new ones: a process that decodes one 300-picture 1080p clip
// after another spent a seventh of its processor time on that.
#pragma once

extern "C" {
#include <libavutil/buffer.h>
}

#include <cstddef>

namespace kyme {

// Spare planes kept at most, in bytes; the planes given back longest ago go
// first. Two 1080p H.264 channels handing their pictures over in runs leave
// up to 69 MiB (the main job's, a clip after another): at 64 MiB a few
// planes were allocated, zeroed and faulted in anew for each clip.
constexpr std::size_t kSparePlaneBytes = 96u << 20;
// Smaller planes are libavcodec's own, from the heap, which keeps freed
// blocks of that size itself; the store stays a short list.
constexpr std::size_t kSmallestSparePlane = 128u << 10;

// A buffer pool of `size`-byte planes: spare ones as the last picture
// decoded into them left them (libavcodec writes every pixel it reads, as
// it must for its own pools, which hand pictures out again unzeroed), new
// ones zeroed, as libavcodec's own allocator gives them.
AVBufferPool* spare_plane_pool(std::size_t size);

// Bytes of spare planes held now.
std::size_t spare_plane_bytes();

}  // namespace kyme
