"""The packet indexes of files read lately, kept for the next opening."""
from __future__ import annotations

import collections
import os
import stat
import threading
from typing import Optional, Tuple

from .._native import PacketIndex


_FileIdentity = Tuple[int, int, int, int, int]


def _file_identity(name: str) -> Optional[_FileIdentity]:
    """A local file as it stands (the same inode with the same size and
    times holds the same bytes), or None for anything else."""
    try:
        status = os.stat(name)
    except (OSError, ValueError):
        return None
    if not stat.S_ISREG(status.st_mode):
        return None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns


class _KnownIndexes:
    """The packet indexes of the files read last in this process: one run of
    the main job opens a clip once for its task list and once on each die,
    and reading every packet costs about 3 ms per 1,000 of them."""

    KEPT = 64

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._known: "collections.OrderedDict[str, Tuple[_FileIdentity, PacketIndex]]" = \
            collections.OrderedDict()

    def recall(self, name: str, identity: Optional[_FileIdentity]) -> Optional[PacketIndex]:
        with self._lock:
            known = self._known.get(name)
            if identity is None or known is None or known[0] != identity:
                return None
            self._known.move_to_end(name)
            return known[1]

    def keep(self, name: str, identity: Optional[_FileIdentity], index: PacketIndex) -> None:
        """Keeps `index` if the file is still as it was before it was read."""
        if identity is None or _file_identity(name) != identity:
            return
        with self._lock:
            self._known[name] = (identity, index)
            self._known.move_to_end(name)
            while len(self._known) > self.KEPT:
                self._known.popitem(last=False)


_INDEXES = _KnownIndexes()
