"""Ctrl-C while the package loads.

Loading the package initialises extension modules (the module, numpy, the
native helper); a KeyboardInterrupt raised inside their initialisation
leaves them half made ("ImportError: initialization failed", then crashes
in the next import). While the package loads, SIGINT is only recorded and
KeyboardInterrupt raised once the package is whole.

`python3 -m quillon.pipeline` and the quillon-pipeline command load the
package before a line of the main job runs; for them a signal meanwhile
ends the process at once with the main job's one line and status 130, as
the main job does while it starts.
"""
from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from types import FrameType
from typing import Iterator, List, Optional

MAIN_JOB = "quillon.pipeline"
MAIN_JOB_COMMAND = "quillon-pipeline"
INTERRUPTED = b"\nquillon-pipeline: interrupted\n"


def leave(signum: int, frame: Optional[FrameType]) -> None:
    """The main job's answer to a signal while it starts: nothing to undo yet."""
    os.write(2, INTERRUPTED)
    os._exit(130)


def starting_the_main_job() -> bool:
    """Whether this interpreter was started to run the main job by module
    or command name (run by file name, it sets its handlers itself)."""
    if os.path.basename(sys.argv[0] if sys.argv else "") == MAIN_JOB_COMMAND:
        return True
    if sys.argv[:1] != ["-m"]:  # the interpreter says "-m" here while it looks for the module to run
        return False
    arguments = list(getattr(sys, "orig_argv", []))
    for index, argument in enumerate(arguments):
        if argument == "-m":
            return arguments[index + 1:index + 2] == [MAIN_JOB]
        if argument.startswith("-m"):
            return argument[2:] == MAIN_JOB
    return False


@contextlib.contextmanager
def held() -> Iterator[None]:
    """Around the package's imports. Only in the main thread, and only while
    SIGINT has the interpreter's own handler (a program's handler stands)."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return
    if starting_the_main_job():
        # The main job's own handlers from here on; its run replaces them.
        signal.signal(signal.SIGTERM, leave)
        signal.signal(signal.SIGINT, leave)
        yield
        return
    received: List[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: received.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received:
        raise KeyboardInterrupt
