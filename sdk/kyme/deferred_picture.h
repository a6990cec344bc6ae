// A decoded picture whose copy into its block in device memory waits until
// the block is first read or written. The codec's own picture is kept
// meanwhile (libavcodec only reads a picture once it has given it out), so
// the copy, when it comes, gives what it would have given at once; a reader
// of NV12 that can take the codec's planes as they are skips it.
#pragma once

extern "C" {
#include <libavutil/frame.h>
}

#include "picture_codec.h"

namespace kyme {

// Leaves the writing of `frame` into `target` in `layout` until the block is
// first needed. False, with nothing done, when that layout is not one
// written without libswscale or the target has no block: the codec then
// writes the picture at once.
bool defer_picture(const AVFrame* frame, AVPixelFormat layout, const PictureTarget& target);

}  // namespace kyme
