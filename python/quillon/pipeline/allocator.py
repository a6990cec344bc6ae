"""glibc's allocator set for decoding, as the main job starts.

libavcodec frees and allocates its per-picture tables (motion vectors,
macroblock types, a few MB for a 1080p stream) at every stream's start,
which for the main job is every pass over a clip. glibc returns blocks that
large to the system as they are freed and maps them anew, zeroed, when they
are asked for again: 4,000-7,000 page faults a 300-picture run, about 2 % of
its processor time. Held in the allocator's own heaps (blocks of up to
32 MiB, and up to 64 MiB of free memory at a heap's top before it is given
back), they are reused as they are.
"""
from __future__ import annotations

import ctypes
import os

# mallopt's parameters, from glibc's malloc.h.
M_TRIM_THRESHOLD = -1
M_MMAP_THRESHOLD = -3
MMAP_THRESHOLD = 32 << 20
TRIM_THRESHOLD = 64 << 20
# Settings of the user's that stand.
USER_SETTINGS = ("MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_", "MALLOC_TOP_PAD_", "MALLOC_MMAP_MAX_")

_done = False


def keep_freed_blocks() -> bool:
    """Sets the process's allocator as above, once; not where the user set
    one of its thresholds (environment variables or GLIBC_TUNABLES), nor on
    a C library without mallopt. Returns whether it is set."""
    global _done
    if _done:
        return True
    if any(name in os.environ for name in USER_SETTINGS) or "glibc.malloc" in os.environ.get("GLIBC_TUNABLES", ""):
        return False
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return False
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    _done = mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD) == 1 and mallopt(M_TRIM_THRESHOLD, TRIM_THRESHOLD) == 1
    return _done
