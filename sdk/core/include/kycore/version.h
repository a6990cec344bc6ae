// The host SDK's version, reported alike by every library's GetVersion.
#pragma once

#define KY_SDK_VERSION_TEXT "2.1.0.2"

namespace kycore {

// Writes the numeric parts of the version into whichever outputs the caller
// passed (major 2, minor 1, patch 0, build 2).
template <class Int>
void store_version_numbers(Int* major, Int* minor, Int* patch, Int* build) {
  if (major != nullptr) *major = 2;
  if (minor != nullptr) *minor = 1;
  if (patch != nullptr) *patch = 0;
  if (build != nullptr) *build = 2;
}

}  // namespace kycore
