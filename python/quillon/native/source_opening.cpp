// Options, time-outs, password masking and opening errors for the sources
// libavformat opens (source_opening.h).
#include "source_opening.h"

#include <algorithm>
#include <cerrno>

#include "libav_errors.h"

namespace py = pybind11;

namespace quillon_native {

std::string without_password(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const std::size_t host = scheme + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", host), url.size());
  const std::size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < host) return url;
  const std::size_t colon = url.find(':', host);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

// libavformat's options as the caller gives them (a dict of str to str,
// int or float), on top of the time-outs the demuxer sets itself.
void add_options(AVDictionary** options, const py::object& given) {
  if (given.is_none()) return;
  if (!py::isinstance<py::dict>(given)) {
    throw py::type_error("options must be a dict of libavformat option names to values, not " +
                         std::string(py::str(py::type::of(given).attr("__name__"))));
  }
  for (const auto& item : given.cast<py::dict>()) {
    if (!py::isinstance<py::str>(item.first)) {
      throw py::type_error("an option's name must be a str, not " +
                           std::string(py::str(py::type::of(item.first).attr("__name__"))));
    }
    const py::handle value = item.second;
    if (py::isinstance<py::bool_>(value) ||
        !(py::isinstance<py::str>(value) || py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value))) {
      throw py::type_error("the option " + item.first.cast<std::string>() + " must be a str, int or float, not " +
                           std::string(py::str(py::type::of(value).attr("__name__"))));
    }
    const std::string key = item.first.cast<std::string>();
    const std::string text = py::str(value).cast<std::string>();
    if (key.find('\0') != std::string::npos || text.find('\0') != std::string::npos) {
      throw py::value_error("the option " + key + " holds a NUL character");
    }
    av_dict_set(options, key.c_str(), text.c_str(), 0);
  }
}

// Network sources: a refused or silent server fails within the time-out
// (in microseconds). Each protocol reads its own option: "timeout" is the
// socket time-out of most, but RTMP takes it for the time to wait for a
// client and listens instead of connecting, and the RTSP demuxer of
// libavformat before 59 calls its socket time-out "stimeout".
void set_time_outs(AVDictionary** options, const std::string& url, int64_t micros) {
  av_dict_set_int(options, "rw_timeout", micros, 0);
  const std::size_t colon = url.find("://");
  const std::string scheme = colon == std::string::npos ? "" : url.substr(0, colon);
  if (scheme.rfind("rtmp", 0) == 0) return;
#if LIBAVFORMAT_VERSION_MAJOR < 59
  if (scheme == "rtsp" || scheme == "rtsps") {
    av_dict_set_int(options, "stimeout", micros, 0);
    return;
  }
#endif
  av_dict_set_int(options, "timeout", micros, 0);
}

// Opening failures are the caller's input: errno-based codes become the
// matching OSError subclass, everything else a plain OSError, one line each.
[[noreturn]] void raise_open_error(const std::string& url, int code) {
  const std::string message = "cannot open " + url + ": " + av_error_text(code);
  if (code == AVERROR(ENOENT)) {
    PyErr_SetObject(PyExc_FileNotFoundError, py::make_tuple(ENOENT, message).ptr());
  } else if (code == AVERROR(EACCES)) {
    PyErr_SetObject(PyExc_PermissionError, py::make_tuple(EACCES, message).ptr());
  } else if (code < 0 && code > -4096) {  // an errno value; libav's own codes are tags far below
    PyErr_SetObject(PyExc_OSError, py::make_tuple(-code, message).ptr());
  } else {
    PyErr_SetString(PyExc_OSError, message.c_str());
  }
  throw py::error_already_set();
}

}  // namespace quillon_native
