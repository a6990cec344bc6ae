// Readability checks of host ranges before the module copies from them:
// mincore reports unmapped pages and process_vm_readv reports an unreadable
// byte as EFAULT, without touching the memory from this process.
#include "quillon/host_read.h"

#include <pybind11/pybind11.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;

namespace quillon {
namespace {

bool pages_mapped(uintptr_t start, std::size_t size) {
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t end = start + size;
  if (end < start) return false;
  constexpr std::size_t kPagesPerStep = 1u << 16;
  static thread_local std::vector<unsigned char> residency(kPagesPerStep);
  for (uintptr_t first = start / page * page; first < end;) {
    const std::size_t pages = std::min<std::size_t>((end - first + page - 1) / page, kPagesPerStep);
    if (mincore(reinterpret_cast<void*>(first), pages * page, residency.data()) != 0) return false;
    first += pages * page;
  }
  return true;
}

bool ends_readable(const unsigned char* first, const unsigned char* last) {
  unsigned char bytes[2];
  iovec local{bytes, sizeof bytes};
  iovec remote[2] = {{const_cast<unsigned char*>(first), 1}, {const_cast<unsigned char*>(last), 1}};
  const ssize_t moved = process_vm_readv(getpid(), &local, 1, remote, 2, 0);
  if (moved == 2) return true;
  // A partial read means the last byte faulted. Otherwise only a fault is a
  // verdict; a kernel that refuses the call itself leaves the mapping check
  // as the only one.
  return moved < 0 && errno != EFAULT;
}

}  // namespace

bool readable_host_memory(const void* address, std::size_t size) {
  if (size == 0) return true;
  const auto* bytes = static_cast<const unsigned char*>(address);
  return address != nullptr && pages_mapped(reinterpret_cast<uintptr_t>(address), size) &&
         ends_readable(bytes, bytes + size - 1);
}

void require_readable_host_memory(const void* address, std::size_t size, const char* function) {
  if (!readable_host_memory(address, size)) {
    throw py::value_error(std::string(function) + ": the memory handle does not point to " + std::to_string(size) +
                          " readable bytes of host memory (device memory must first be copied to the host "
                          "with memcpy)");
  }
}

}  // namespace quillon
