"""glibc's allocator set for decoding: the highest thresholds it raises its
own to as large blocks come and go (served from its heaps up to 32 MiB, free memory at
a heap's top kept up to 64 MiB), set at once.

libavcodec frees and allocates its per-picture tables (motion vectors,
macroblock types, a few MB for a 1080p stream) at every stream's start,
which for the main job is every pass over a clip, and its picture buffers
with every channel. With the thresholds still at their starting values,
glibc returns such blocks to the system as they are freed and maps them
anew, zeroed, when they are asked for again: 4,000-7,000 page faults a
300-picture run, about 2 % of its processor time.

The setting is the process's, for the rest of its life: glibc's allocator
has no narrower scope, and putting the thresholds back would not give back
what glibc had raised them to by itself meanwhile. A program calling
quillon.pipeline.main() keeps it after the run (unless it set one of
USER_SETTINGS itself, which stands); a cluster's workers set it as they
start (see workers.MallocSettings).
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


def set_thresholds() -> bool:
    """Sets both thresholds; False on a C library without mallopt."""
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return False
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    return bool(mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD) == 1 and mallopt(M_TRIM_THRESHOLD, TRIM_THRESHOLD) == 1)


def keep_freed_blocks() -> bool:
    """The main job's setting, as it starts: the thresholds, unless the user
    set one of them (environment variables or GLIBC_TUNABLES). Returns
    whether they are set."""
    if any(name in os.environ for name in USER_SETTINGS) or "glibc.malloc" in os.environ.get("GLIBC_TUNABLES", ""):
        return False
    return set_thresholds()
