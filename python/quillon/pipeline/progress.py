"""The progress line a person reads: pictures done of the total (a growing
count when the total is unknown), pictures per second, time left from
pictures, and each die's decoder, DSP and AI utilisation from the
management library. At most 10 redraws a second on a terminal; when
standard error is not a terminal, one plain line every 10 seconds."""
from __future__ import annotations

import sys
import time
from typing import Any, List, Optional, Sequence, TextIO, Tuple

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
        self.management = False  # whether this line started the management library (and shuts it down)
        self.handles = self._die_handles(dies) if dies and not quiet else []
        self.drawn = False

    def _die_handles(self, dies: Sequence[int]) -> List[Tuple[str, Any]]:
        """Each die's label and management handle. The management library
        answers only once initialised (70001 before): started here unless
        the program has it started already."""
        from _quillon_pybind11 import kycm, kyml

        code = int(kyml.init())
        if code not in (0, int(kyml.opStatus.KYML_ERROR_INITIALIZED)):
            return []  # no utilisation: the line goes without it
        self.management = code == 0
        handles = []
        for device in dies:
            try:
                card, die, _ = kycm.getDeviceIdInfo(device)
                handle = kyml.getDieHandleByDieIndex(kyml.getDieIndexByDevIndex(device))
                handles.append((f"{card}:{die}", handle))
            except (RuntimeError, ValueError, TypeError):
                continue  # no utilisation for that die: the line goes without it
        return handles

    def line(self, done: int) -> str:
        from _quillon_pybind11 import kyml

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
        loads = []
        for label, handle in self.handles:
            try:
                rates = kyml.getUtilizationRate(handle)
                loads.append(f"{label} {rates.vdmcu}/{rates.vdsp}/{rates.ai}%")
            except (RuntimeError, ValueError):
                continue
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
        """Shuts the management library down if the line started it."""
        from _quillon_pybind11 import kyml

        self.handles = []
        if self.management:
            self.management = False
            kyml.shutDown()

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
