"""The progress line a person reads: pictures done of the total (a growing
count when the total is unknown), pictures per second, time left from
pictures, and each die's decoder, DSP and AI utilisation from the
management library. At most 10 redraws a second on a terminal; when
standard error is not a terminal, one plain line every 10 seconds."""
from __future__ import annotations

import sys
import time
from typing import Any, Optional, Sequence, TextIO

TERMINAL_PERIOD, LOG_PERIOD = 0.1, 10.0
WIDTH = 110


class Progress:
    def __init__(self, total: Optional[int], dies: Sequence[int], quiet: bool,
                 stream: Optional[TextIO] = None) -> None:
        self.stream = stream or sys.stderr
        self.quiet = quiet
        self.terminal = self.stream.isatty()
        self.period = TERMINAL_PERIOD if self.terminal else LOG_PERIOD
        self.total = total
        self.started = time.monotonic()
        self.last = self.started if not self.terminal else 0.0
        # The dies' utilisation; a die the management library cannot tell
        # of goes without it (the monitor starts the library unless the
        # program has, and shuts it down as it closes only if it started it).
        self.monitor: Optional[Any] = None
        if dies and not quiet:
            import quillon

            self.monitor = quillon.Monitor(dies).open()
        self.drawn = False

    def line(self, done: int) -> str:
        elapsed = max(time.monotonic() - self.started, 1e-9)
        rate = done / elapsed
        if self.total:
            shown = f"{done}/{self.total} pictures"
            left = (self.total - done) / rate if rate > 0 and done < self.total else None
            eta = f"{left:5.0f} s left" if left is not None else "      "
            bar = "#" * int(20 * min(done / self.total, 1.0))
            head = f"[{bar:<20}] {shown} {rate:6.1f}/s {eta}"
        else:
            head = f"{done} pictures {rate:6.1f}/s"
        loads = [f"{load.card}:{load.die} {load.decoder}/{load.dsp}/{load.ai}%"
                 for load in (self.monitor.loads() if self.monitor is not None else ())]
        return head + (" | dec/dsp/ai " + " ".join(loads) if loads else "")

    def draw(self, done: int, force: bool = False) -> None:
        if self.quiet:
            return
        now = time.monotonic()
        if not force and now - self.last < self.period:
            return
        self.last = now
        text = self.line(done)
        if self.terminal:
            self.stream.write("\r" + text[:WIDTH].ljust(WIDTH))
            self.drawn = True
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def close(self) -> None:
        """Lets the management library go (shut down if the line started it)."""
        monitor, self.monitor = self.monitor, None
        if monitor is not None:
            monitor.close()

    def clear(self) -> None:
        if self.drawn and not self.quiet:
            self.stream.write("\r" + " " * WIDTH + "\r")
            self.stream.flush()
            self.drawn = False


def message(quiet: bool, text: str, stream: Optional[TextIO] = None) -> None:
    """A transient line (making the demo clip) on a terminal; nothing elsewhere."""
    out = stream or sys.stderr
    if quiet or not out.isatty():
        return
    out.write("\r" + text[:WIDTH].ljust(WIDTH) + ("" if text else "\r"))
    out.flush()
