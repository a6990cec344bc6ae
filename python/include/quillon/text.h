// Text conversions shared by the bindings.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>

namespace quillon {

// A library text as a new str, decoded as UTF-8. Text that is not UTF-8
// raises RuntimeError("Could not allocate string object!").
pybind11::str text_to_str(const char* text, std::size_t length);
pybind11::str text_to_str(const char* text);

// A NUL-terminated text, or None for a null pointer (rendered in signatures
// as Optional[str]).
std::optional<pybind11::str> text_or_none(const char* text);

// A fixed-size char array of a record read up to its first NUL, never past
// its end.
pybind11::str fixed_text(const char* field, std::size_t capacity);

// Copies `value` into a fixed-size char array, truncating so that the
// terminating NUL always fits.
void store_fixed_text(char* field, std::size_t capacity, const std::string& value);

// A text argument that takes a str only (not bytes), as UTF-8. A str that
// cannot be encoded (a lone surrogate) does not match the argument, so the
// binding layer raises its TypeError, as for any other argument of a wrong
// kind; a std::string argument would raise UnicodeEncodeError instead.
struct StrArg {
  std::string utf8;
};

// `text` as a printf format without arguments that prints it unchanged: every
// per-cent sign doubled. For the libraries' log calls, which format the
// message they are given.
std::string printf_literal(const std::string& text);

}  // namespace quillon

namespace pybind11 {
namespace detail {

template <>
struct type_caster<quillon::StrArg> {
  PYBIND11_TYPE_CASTER(quillon::StrArg, const_name("str"));

  bool load(handle src, bool /*convert*/) {
    if (!PyUnicode_Check(src.ptr())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
    if (data == nullptr) {
      PyErr_Clear();
      return false;
    }
    value.utf8.assign(data, static_cast<std::size_t>(size));
    return true;
  }
};

}  // namespace detail
}  // namespace pybind11
