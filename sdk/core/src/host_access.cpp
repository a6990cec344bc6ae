// Mapping and access checks of foreign host ranges, without touching them
// from user space: mincore reports unmapped pages, and reads and writes
// through process_vm_readv/writev report EFAULT instead of faulting.
#include "kycore/host_access.h"

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kycore {
namespace {

uint64_t page_size() {
  static const uint64_t size = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

bool pages_mapped(uintptr_t start, uint64_t size) {
  const uint64_t page = page_size();
  uintptr_t first = start / page * page;
  const uintptr_t end = start + size;
  if (end < start) return false;
  // mincore writes one byte per page; walk the range in bounded steps.
  constexpr uint64_t kPagesPerStep = 1u << 16;
  thread_local std::vector<unsigned char> residency(kPagesPerStep);
  while (first < end) {
    const uint64_t pages = std::min<uint64_t>((end - first + page - 1) / page, kPagesPerStep);
    if (mincore(reinterpret_cast<void*>(first), pages * page, residency.data()) != 0) return false;
    first += pages * page;
  }
  return true;
}

// -1: the kernel refuses the probe itself (no such call, or forbidden), so
// nothing can be concluded; 0: a byte is not accessible; 1: accessible.
int probe(const void* first, const void* last, HostAccess access) {
  unsigned char bytes[2] = {};
  iovec local{bytes, 2};
  iovec remote[2] = {{const_cast<void*>(first), 1}, {const_cast<void*>(last), 1}};
  const pid_t self = getpid();
  // A partial transfer means the second byte is not accessible.
  const auto verdict = [](ssize_t moved) { return moved == 2 ? 1 : (moved >= 0 || errno == EFAULT) ? 0 : -1; };
  const int read = verdict(process_vm_readv(self, &local, 1, remote, 2, 0));
  if (read != 1 || access == HostAccess::read) return read;
  return verdict(process_vm_writev(self, &local, 1, remote, 2, 0));
}

}  // namespace

bool host_range_accessible(const void* address, uint64_t size, HostAccess access) {
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (start == 0) return false;
  if (size == 0) return true;
  if (start + size < start || !pages_mapped(start, size)) return false;
  const auto* bytes = static_cast<const unsigned char*>(address);
  return probe(bytes, bytes + size - 1, access) != 0;
}

}  // namespace kycore
