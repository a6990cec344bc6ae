// MD5 through OpenSSL's EVP interface, which picks the processor's fastest
// implementation. The algorithm is fetched once per process.
#include <openssl/evp.h>

#include <stdexcept>

#include "ky_md5.h"

namespace md5 {
namespace {

const EVP_MD* algorithm() {
  static const EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  if (md == nullptr) throw std::runtime_error("MD5 is not available from the platform's cryptography library");
  return md;
}

std::string hex(const unsigned char* bytes, unsigned int count) {
  static const char digits[] = "0123456789abcdef";
  std::string text(2 * static_cast<std::size_t>(count), '0');
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace

struct Digest::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
  void start() {
    if (EVP_DigestInit_ex(context, algorithm(), nullptr) != 1) throw std::runtime_error("MD5 digest cannot start");
  }
};

Digest::Digest() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr) throw std::runtime_error("MD5 digest: out of memory");
  state_->start();
}

Digest::~Digest() = default;

void Digest::update(const void* data, std::size_t length) {
  if (length != 0 && EVP_DigestUpdate(state_->context, data, length) != 1) {
    throw std::runtime_error("MD5 digest update failed");
  }
}

std::string Digest::finish() {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int count = 0;
  if (EVP_DigestFinal_ex(state_->context, bytes, &count) != 1) throw std::runtime_error("MD5 digest failed");
  state_->start();
  return hex(bytes, count);
}

std::string digestString(const void* data, uint32_t length) {
  Digest digest;
  digest.update(data, length);
  return digest.finish();
}

}  // namespace md5
