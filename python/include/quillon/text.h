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

// `text` as a printf format without arguments that prints it unchanged: every
// per-cent sign doubled. For the libraries' log calls, which format the
// message they are given.
std::string printf_literal(const std::string& text);

}  // namespace quillon
