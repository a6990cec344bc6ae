// kyme: YUVReader, which reads raw YUV 4:2:0 pictures (planar or NV12/NV21)
// from a file one by one into a host buffer and describes each as a frame.
#include <pybind11/pybind11.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "kyme.h"
#include "kyme/guarded_buffer.h"
#include "kyme/media.h"
#include "kyme/regular_file.h"
#include "quillon/classes.h"
#include "quillon/filled_records.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace quillon {
namespace {

struct PlaneLayout {
  uint64_t size[3] = {0, 0, 0};
  uint32_t stride[3] = {0, 0, 0};
  uint64_t total() const { return size[0] + size[1] + size[2]; }
};

bool supported(kymePixelFormat format) {
  return format == KYME_PIX_FMT_YUV420P || format == KYME_PIX_FMT_NV12 || format == KYME_PIX_FMT_NV21;
}

// Plane sizes follow the file's stride, not the picture width; chroma rows
// and columns round up.
PlaneLayout layout_of(kymePixelFormat format, int64_t height, int64_t stride) {
  PlaneLayout layout;
  const auto chroma_rows = static_cast<uint64_t>((height + 1) / 2);
  layout.size[0] = static_cast<uint64_t>(stride * height);
  layout.stride[0] = static_cast<uint32_t>(stride);
  if (format == KYME_PIX_FMT_YUV420P) {
    const auto chroma_stride = static_cast<uint64_t>((stride + 1) / 2);
    layout.size[1] = layout.size[2] = chroma_rows * chroma_stride;
    layout.stride[1] = layout.stride[2] = static_cast<uint32_t>(chroma_stride);
  } else {
    const auto even_stride = static_cast<uint64_t>((stride + 1) / 2 * 2);
    layout.size[1] = chroma_rows * even_stride;
    layout.stride[1] = static_cast<uint32_t>(even_stride);
  }
  return layout;
}

class YUVReader {
 public:
  YUVReader(std::string path, kymePixelFormat format, int32_t width, int32_t height, int32_t stride)
      : path_(std::move(path)), format_(format), width_(width), height_(height), stride_(stride) {}
  ~YUVReader() { release(); }
  YUVReader(const YUVReader&) = delete;
  YUVReader& operator=(const YUVReader&) = delete;

  void init() {
    release();  // a second init starts over instead of leaking the first file and buffer
    if (!supported(format_)) {
      std::printf("Sorry, format %d is not supported yet!\n", static_cast<int>(format_));
      std::fflush(stdout);
      return;
    }
    if (height_ <= 0 || stride_ <= 0) {
      std::printf("Sorry, picture height %d and stride %d are not supported!\n", height_, stride_);
      std::fflush(stdout);
      return;
    }
    // A luma row holds the picture's width in bytes: a wider picture would
    // describe bytes its stride does not have.
    if (width_ <= 0 || width_ > stride_) {
      std::printf("Sorry, picture width %d and stride %d are not supported!\n", width_, stride_);
      std::fflush(stdout);
      return;
    }
    const PlaneLayout layout = layout_of(format_, height_, stride_);
    if (layout.total() > UINT32_MAX) {
      std::printf("Sorry, pictures of %llu bytes are not supported!\n",
                  static_cast<unsigned long long>(layout.total()));
      std::fflush(stdout);
      return;
    }
    const int fd = open_regular_file(path_);
    file_ = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (file_ == nullptr) {
      if (fd >= 0) ::close(fd);
      std::printf("Fail to open file <%s>\n", path_.c_str());
      std::fflush(stdout);
      return;
    }
    layout_ = layout;
    buffer_.allocate(layout.total());
  }

  void release() {
    if (buffer_.data() != nullptr) {
      const uint8_t* begin = buffer_.data();
      const uint64_t size = layout_.total();
      filled_.detach_all<kymeFramePy>([&](kymeFramePy& frame) {
        // The adaptor's plane list and the record's own plane addresses.
        auto& planes = static_cast<kymeFrame&>(frame).data;
        for (auto& plane : planes) {
          if (points_into(plane, begin, size)) plane = nullptr;
        }
        for (auto& plane : frame.data) {
          if (points_into(plane, begin, size)) plane = nullptr;
        }
      });
    }
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    buffer_.reset();
  }

  void filled(py::handle frame) { filled_.add(frame); }

  // 1 and the next picture in `frame`, or 0 at the end of the file or when
  // the file holds only part of the next picture.
  int getFrame(kymeFramePy& frame) {
    const uint64_t index = counter_++;
    if (buffer_.data() == nullptr || file_ == nullptr) return 0;
    const uint64_t total = layout_.total();
    const int64_t left = bytes_left();
    if (left == 0) return 0;
    // A final picture the file holds only in part is not read at all, so
    // the buffer (and frames that show it) keeps the previous picture.
    const bool partial = left > 0 && static_cast<uint64_t>(left) < total;
    const std::size_t got = partial ? 0 : std::fread(buffer_.data(), 1, total, file_);
    if (got != total) {
      if (partial) std::fseek(file_, 0, SEEK_END);
      if (!partial && got == 0 && std::feof(file_) != 0) return 0;
      std::printf("Read data failed\n");
      std::fflush(stdout);
      return 0;
    }
    kymeFrame record{};
    uint8_t* base = buffer_.data();
    record.data[0] = base;
    record.data[1] = base + layout_.size[0];
    record.data[2] = layout_.size[2] != 0 ? base + layout_.size[0] + layout_.size[1] : nullptr;
    for (int i = 0; i < 3; ++i) record.stride[i] = layout_.stride[i];
    record.dataSize = static_cast<uint32_t>(total);
    record.width = static_cast<uint32_t>(width_);
    record.height = static_cast<uint32_t>(height_);
    record.pts = static_cast<int64_t>(index);
    record.memoryType = KYME_MEM_HOST;
    record.field = KYME_FLD_FRAME;
    record.pixelFormat = format_;
    record.frameType = KYME_FRM_I;
    frame_from_library(record, frame);
    return 1;
  }

  // Bytes between the position and the end of a regular file; -1 when the
  // file cannot tell (a pipe, say), in which case reading finds out.
  int64_t bytes_left() const {
    struct stat info {};
    const off_t position = ftello(file_);
    if (position < 0 || fstat(fileno(file_), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return info.st_size > position ? static_cast<int64_t>(info.st_size - position) : 0;
  }

  void seek_to_start() {
    if (file_ != nullptr) std::fseek(file_, 0, SEEK_SET);
  }

 private:
  std::string path_;
  kymePixelFormat format_;
  int32_t width_;
  int32_t height_;
  int32_t stride_;
  uint64_t counter_ = 0;
  PlaneLayout layout_;
  // Pages of its own, so that a stale plane address is refused once released.
  GuardedBuffer buffer_;
  std::FILE* file_ = nullptr;
  FilledRecords filled_;
};

}  // namespace

void register_yuv_reader(py::module_& m) {
  class_<YUVReader>(m, "YUVReader")
      .def(py::init<std::string, kymePixelFormat, int32_t, int32_t, int32_t>())
      .def("init", &YUVReader::init)
      .def("release", &YUVReader::release)
      .def("getFrame",
           [](YUVReader& reader, kymeFramePy& frame) {
             const int filled = reader.getFrame(frame);
             if (filled != 0) adopt_filled_record(reader, frame);
             return filled;
           })
      .def("seek_to_start", &YUVReader::seek_to_start);
}

}  // namespace quillon
