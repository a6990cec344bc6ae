// MD5 digests (RFC 1321), exported by libkyce for the image-file utilities:
// a whole buffer at once, or any amount of data fed in pieces. Digests are
// given as 32 lowercase hexadecimal digits. C++ only.
#ifndef KY_MD5_H
#define KY_MD5_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ky_api.h"

namespace md5 {

// The digest of `length` bytes at `data` (null only with a length of 0).
// Throws std::runtime_error when the platform's MD5 is unavailable.
KY_API std::string digestString(const void* data, uint32_t length);

// An incremental digest, for inputs longer than 32 bits can count or read
// in chunks.
class KY_API Digest {
 public:
  Digest();  // throws std::runtime_error as digestString does
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void update(const void* data, std::size_t length);
  // The digest of everything given so far; the object then starts afresh.
  std::string finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace md5

#endif  // KY_MD5_H
