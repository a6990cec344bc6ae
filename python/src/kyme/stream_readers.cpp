// kyme: setStreamData and the stream file readers. H264Reader hands out the
// NAL units of an Annex B file one by one; JpegReader loads a JPEG file up
// to its end of image. Both fill a `stream` that points into the reader's
// own buffer, valid until the reader's next getStream or release.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "kyme.h"
#include "kyme/jpeg_scan.h"
#include "kyme/media.h"
#include "kyme/nal_cutter.h"
#include "kyme/regular_file.h"
#include "quillon/classes.h"
#include "quillon/filled_records.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace quillon {

// The argument of setStreamData. It must be a contiguous uint8 numpy array
// that the stream can point at without copying; anything else is refused,
// because a converted temporary would be freed while the stream still
// points at it.
struct StreamBytes {
  py::object object;
};

}  // namespace quillon

namespace pybind11 {
namespace detail {

// Takes any object so that setStreamData can explain what it needs; the
// signature names the array type it asks for.
template <>
struct type_caster<quillon::StreamBytes> {
  PYBIND11_TYPE_CASTER(quillon::StreamBytes, const_name("numpy.ndarray[numpy.uint8]"));
  bool load(handle src, bool /*convert*/) {
    value.object = reinterpret_borrow<object>(src);
    return true;
  }
};

}  // namespace detail
}  // namespace pybind11

namespace quillon {

namespace {

[[noreturn]] void raise_os_error(int error, const char* what, const std::string& path) {
  // OSError(errno, text, filename) picks the matching subclass, such as
  // FileNotFoundError.
  py::object error_object = py::reinterpret_borrow<py::object>(PyExc_OSError)(error, what, path);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error_object.ptr())), error_object.ptr());
  throw py::error_already_set();
}

}  // namespace

uint64_t load_jpeg_file(const std::string& path, jpeg::FileBuffer& buffer) {
  const jpeg::FileScan scan = jpeg::scan_file(path, buffer);
  switch (scan.status) {
    case jpeg::FileScan::Status::open_failed:
      raise_os_error(scan.error, "Unable to open input file", path);
    case jpeg::FileScan::Status::read_failed:
      raise_os_error(scan.error, "Unable to read input file", path);
    case jpeg::FileScan::Status::ok:
      break;
  }
  if (scan.result.eoi_missing) {
    std::fputs("EOI missing from end of file!\n", stdout);
    std::fflush(stdout);
  }
  return scan.result.length;
}

namespace {

void set_stream_data(kymeStream& stream, const StreamBytes& bytes) {
  if (!py::isinstance<py::array>(bytes.object)) {
    throw py::type_error("setStreamData takes a numpy.ndarray of uint8, not " +
                         std::string(py::str(py::type::of(bytes.object).attr("__name__"))) +
                         "; make one with numpy.ascontiguousarray(data, dtype=numpy.uint8) and keep it alive while "
                         "the stream is in use");
  }
  const auto array = py::reinterpret_borrow<py::array>(bytes.object);
  if (!array.dtype().is(py::dtype::of<uint8_t>()) && !array.dtype().equal(py::dtype::of<uint8_t>())) {
    throw py::type_error("setStreamData takes a numpy.ndarray of uint8, not of " + std::string(py::str(array.dtype())) +
                         "; convert it with numpy.ascontiguousarray(data, "
                         "dtype=numpy.uint8) and keep the result alive while the stream is in use");
  }
  if ((array.flags() & py::array::c_style) == 0) {
    throw py::type_error(
        "setStreamData takes a contiguous array; copy it with numpy.ascontiguousarray(data) and keep the result "
        "alive while the stream is in use");
  }
  const auto size = static_cast<uint64_t>(array.size());
  if (size > UINT32_MAX) {
    throw py::value_error("setStreamData: the array holds " + std::to_string(size) +
                          " bytes, more than a stream can describe (4294967295)");
  }
  stream.data = static_cast<uint8_t*>(const_cast<void*>(array.data()));
  stream.length = static_cast<uint32_t>(size);
  keep_owner_alive(python_object_of(stream), array);
}

// Reads NAL units from a file opened by init.
class H264Reader {
 public:
  explicit H264Reader(std::string path) : path_(std::move(path)) {}
  ~H264Reader() { release(); }
  H264Reader(const H264Reader&) = delete;
  H264Reader& operator=(const H264Reader&) = delete;

  void init() {
    release();
    // A file that cannot be opened (or is not a regular file) is not
    // reported here: getStream then returns 0.
    fd_ = open_regular_file(path_);
    if (fd_ >= 0) cutter_ = std::make_unique<NalCutter>(fd_);
  }

  void release() {
    if (cutter_) {
      filled_.detach_all<kymeStream>([&](kymeStream& stream) {
        if (points_into(stream.data, cutter_->buffer(), cutter_->capacity())) stream.data = nullptr;
      });
    }
    cutter_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void filled(py::handle stream) { filled_.add(stream); }

  int getStream(kymeStream& stream) {
    if (!cutter_) return 0;
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    switch (cutter_->next(&data, &size)) {
      case NalCutter::Status::end:
        return 0;
      case NalCutter::Status::too_large:
        std::fputs("NAL does not fit provided buffer\n", stderr);
        return 0;
      case NalCutter::Status::unit:
        break;
    }
    stream.data = const_cast<uint8_t*>(data);
    stream.length = static_cast<uint32_t>(size);
    stream.pts = static_cast<int64_t>(units_);
    ++units_;
    return 1;
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::unique_ptr<NalCutter> cutter_;
  uint64_t units_ = 0;
  FilledRecords filled_;
};

// Loads a whole JPEG file on each getStream.
class JpegReader {
 public:
  explicit JpegReader(std::string path) : path_(std::move(path)) {}
  ~JpegReader() { release(); }
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;

  // The buffer grows to the size of the file read into it, up to 512 MiB,
  // so only what a file needs is ever allocated.
  void init() { ready_ = true; }

  void release() {
    detach_from(buffer_.data(), buffer_.capacity());
    buffer_.reset();
    ready_ = false;
  }

  void filled(py::handle stream) { filled_.add(stream); }

  int getStream(kymeStream& stream) {
    if (!ready_) return 0;
    // A file of another size may get a new buffer, and the allocator often
    // hands back the same address with a smaller block; streams filled
    // before must not keep pointing there with their old length, whether the
    // load then succeeds or fails.
    const uint8_t* const before = buffer_.data();
    const uint64_t capacity_before = buffer_.capacity();
    const auto take_back_if_replaced = [&] {
      if (buffer_.data() != before || buffer_.capacity() != capacity_before) detach_from(before, capacity_before);
    };
    uint64_t length = 0;
    try {
      length = load_jpeg_file(path_, buffer_);
    } catch (...) {
      take_back_if_replaced();
      throw;
    }
    take_back_if_replaced();
    stream.data = buffer_.data();
    stream.length = static_cast<uint32_t>(length);
    stream.pts = 0;
    return length != 0 ? 1 : 0;
  }

 private:
  void detach_from(const uint8_t* begin, uint64_t size) {
    filled_.detach_all<kymeStream>([&](kymeStream& stream) {
      if (points_into(stream.data, begin, size)) stream.data = nullptr;
    });
  }

  std::string path_;
  bool ready_ = false;
  jpeg::FileBuffer buffer_;
  FilledRecords filled_;
};

// getStream of a reader, adopting the stream it fills.
template <class Reader>
int get_stream(Reader& reader, kymeStream& stream) {
  const int filled = reader.getStream(stream);
  if (filled != 0) adopt_filled_record(reader, stream);
  return filled;
}

}  // namespace

void register_stream_readers(py::module_& m) {
  m.def("setStreamData", &set_stream_data);

  class_<H264Reader>(m, "H264Reader")
      .def(py::init<std::string>())
      .def("init", &H264Reader::init)
      .def("release", &H264Reader::release)
      .def("getStream", &get_stream<H264Reader>);

  class_<JpegReader>(m, "JpegReader")
      .def(py::init<std::string>())
      .def("init", &JpegReader::init)
      .def("release", &JpegReader::release)
      .def("getStream", &get_stream<JpegReader>);
}

}  // namespace quillon
