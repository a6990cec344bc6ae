// What libavformat's stream probing learned of a local file's video stream,
// kept for the file's next opening in this process. The probe decodes
// several pictures to learn the picture format and the decoder's delay
// (10 to 20 ms for 1080p H.264 in MP4), and one run of the main job opens a
// clip up to seven times: to probe it, to cut it, and once more for each
// die and segment pass.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/stat.h>

#include <optional>
#include <string>

namespace quillon_native {

// A local file as it stands: the same inode with the same size and times
// is taken to hold the same bytes.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
};

// The identity of a regular file at `path`; nothing for anything else (a
// URL, a device, a file that is not there).
std::optional<FileIdentity> identify_file(const std::string& path);

// Puts what an earlier probe of this very file found into a context that
// avformat_open_input has just opened, and returns the video stream's
// index; -1 when nothing is known of the file in this state, and then the
// context is left as it was; another negative libav code (out of memory)
// when the context could not be given what is known, and must be closed.
int recall_stream_facts(const FileIdentity& file, AVFormatContext* format);

// Keeps what probing found for the video stream `index` of a context that
// avformat_find_stream_info has filled, if `path` is still the file `file`
// was taken of before it was opened. Only MP4 and its kin are kept, whose
// headers give every packet with its time stamps: anything else is probed
// at every opening.
void remember_stream_facts(const std::string& path, const FileIdentity& file, const AVFormatContext* format, int index);

// The stream's display rotation, as its display matrix (MOV/MP4 side data)
// gives it: the counter-clockwise turn in whole degrees, from 0 to 359,
// that shows the pictures upright (ffprobe's "rotation", its -90 as 270);
// 0 without a matrix.
int display_rotation(const AVStream* stream);

}  // namespace quillon_native
