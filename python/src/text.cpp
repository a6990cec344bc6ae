// Text conversions shared by the bindings.
#include "quillon/text.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace py = pybind11;

namespace quillon {

py::str text_to_str(const char* text, std::size_t length) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), nullptr);
  if (decoded == nullptr) {
    PyErr_Clear();
    throw std::runtime_error("Could not allocate string object!");
  }
  return py::reinterpret_steal<py::str>(decoded);
}

py::str text_to_str(const char* text) { return text_to_str(text, std::strlen(text)); }

std::optional<py::str> text_or_none(const char* text) {
  if (text == nullptr) return std::nullopt;
  return text_to_str(text);
}

py::str fixed_text(const char* field, std::size_t capacity) {
  const void* end = std::memchr(field, '\0', capacity);
  const std::size_t length =
      end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : capacity;
  return text_to_str(field, length);
}

void store_fixed_text(char* field, std::size_t capacity, const std::string& value) {
  if (capacity == 0) return;
  const std::size_t length = value.size() < capacity ? value.size() : capacity - 1;
  std::copy_n(value.data(), length, field);
  std::fill(field + length, field + capacity, '\0');
}

std::string printf_literal(const std::string& text) {
  std::string format;
  format.reserve(text.size());
  for (char c : text) {
    format += c;
    if (c == '%') format += '%';
  }
  return format;
}

}  // namespace quillon
