// Access checks of foreign host ranges, without touching them from user
// space. The kernel checks the whole range in one pass: madvise with
// MADV_POPULATE_READ (or _WRITE) fails on any page that is unmapped or does
// not allow the access, without reading or writing a byte, and only faults
// in what the copy is about to touch anyway. Kernels before 5.14 lack it;
// there the process's mappings are read from /proc/self/maps instead.
#include "kycore/host_access.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kycore {
namespace {

// MADV_POPULATE_READ and MADV_POPULATE_WRITE, missing from older headers.
constexpr int kPopulateRead = 22;
constexpr int kPopulateWrite = 23;

enum class Verdict { accessible, inaccessible, unknown };

uintptr_t page_size() {
  static const auto size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// An older kernel refuses the advice itself with EINVAL, as it refuses a
// range without the access: tell them apart once, on a page of our own.
bool populate_supported() {
  static const bool supported = [] {
    alignas(4096) static unsigned char page[4096];
    return madvise(page, sizeof page, kPopulateWrite) == 0;
  }();
  return supported;
}

Verdict populated(uintptr_t first, uintptr_t end, HostAccess access) {
  if (!populate_supported()) return Verdict::unknown;
  const int advice = access == HostAccess::read ? kPopulateRead : kPopulateWrite;
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (madvise(reinterpret_cast<void*>(first), end - first, advice) == 0) return Verdict::accessible;
    if (errno != EINTR && errno != EAGAIN) break;
  }
  return Verdict::inaccessible;
}

// The mappings are listed in address order; the range must be covered
// without a gap by mappings that allow the access.
Verdict listed_accessible(uintptr_t first, uintptr_t end, HostAccess access) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return Verdict::unknown;
  const std::size_t permission = access == HostAccess::read ? 0 : 1;  // "rwxp"
  const char allowed = access == HostAccess::read ? 'r' : 'w';
  char* line = nullptr;
  std::size_t capacity = 0;
  uintptr_t covered = first;
  while (covered < end && getline(&line, &capacity, maps) > 0) {
    unsigned long low = 0, high = 0;  // NOLINT(google-runtime-int): the format's type
    char permissions[5] = {};
    if (std::sscanf(line, "%lx-%lx %4s", &low, &high, permissions) != 3 || high <= covered) continue;
    if (low > covered || permissions[permission] != allowed) break;
    covered = high;
  }
  std::free(line);
  std::fclose(maps);
  return covered >= end ? Verdict::accessible : Verdict::inaccessible;
}

}  // namespace

bool host_range_accessible(const void* address, uint64_t size, HostAccess access) {
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (start == 0) return false;
  if (size == 0) return true;
  if (start + size < start) return false;
  const uintptr_t page = page_size();
  const uintptr_t first = start / page * page;
  const uintptr_t end = (start + size - 1) / page * page + page;
  if (end == 0) return false;  // the last page is the top of the address space
  Verdict verdict = populated(first, end, access);
  if (verdict == Verdict::unknown) verdict = listed_accessible(first, end, access);
  // Without either source nothing is known about the range: refuse it.
  return verdict == Verdict::accessible;
}

}  // namespace kycore
