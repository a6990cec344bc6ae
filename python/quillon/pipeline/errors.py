"""The main job's exceptions. A user's mistake or a disk that fails is one
line on standard error and exit status 2; a task that fails is a line of
the summary and the run goes on; a signal ends the run with status 130."""
from __future__ import annotations

from typing import Any, Optional


class UserError(Exception):
    """A problem with what the user gave: reported as one line, not a traceback."""


class DiskError(OSError):
    """An output cannot be written: one line, exit status 2."""


class CacheError(OSError):
    """The cache folder cannot be written (a full or failing disk)."""


class TaskFailed(Exception):
    """A photo or segment that could not be decoded or inferred: listed with
    its reason in the summary; the other tasks go on."""


class TaskError(Exception):
    """A task that failed on a cluster's worker: the reason and, for what the
    input holds (a corrupt picture), the results of the pictures before it."""

    def __init__(self, reason: str, partial: Optional[Any] = None) -> None:
        super().__init__(reason, partial)  # both in args, so the error crosses the network whole

    def __str__(self) -> str:
        return str(self.args[0])


class Interrupted(KeyboardInterrupt):
    """SIGINT or SIGTERM during the run."""
