"""What a live run shows and leaves: each camera's figures (pictures, drops,
latency, state), its result lines in a file an hour, the progress block and
the summary."""
from __future__ import annotations

import bisect
import collections
import json
import os
import pathlib
import sys
import threading
import time
from typing import Any, Deque, Dict, List, Optional, Sequence, TextIO, Tuple

from .errors import DiskError

LIVE = "live"          # OUT/live/<camera>/<UTC date>T<hour>.jsonl
TERMINAL_PERIOD, LOG_PERIOD = 0.5, 10.0
RATE_WINDOW = 10.0     # seconds of pictures a camera's rate is measured over
LATENCIES = 1024       # the latest latencies kept for the percentiles
# Upper bounds (seconds) of the latency histogram the metrics serve.
LATENCY_BUCKETS = (0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0)


class CameraFigures:
    """What a camera did so far. Written by its reader and its die's worker,
    read by the progress display and the metrics."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.lock = threading.Lock()  # guards every field below
        self.die = -1              # the die it is analysed on
        self.pictures = 0          # result lines written
        self.dropped = 0           # pictures that waited longer than the latency allowed, or found no room
        self.failed = 0            # pictures the model could not run on
        self.reconnects = 0
        self.state = "connecting"  # "connecting", "live", "reconnecting"
        self.since = time.time()
        self.reason = ""           # why it is not live, for the summary
        self.latencies: Deque[float] = collections.deque(maxlen=LATENCIES)
        self.written: Deque[float] = collections.deque()  # monotonic times of the lines of the last RATE_WINDOW
        self.buckets = [0] * (len(LATENCY_BUCKETS) + 1)  # latencies by histogram bucket, the last +Inf
        self.latency_sum = 0.0

    def wrote(self, latency: float) -> None:
        now = time.monotonic()
        with self.lock:
            self.pictures += 1
            self.latencies.append(latency)
            self.buckets[bisect.bisect_left(LATENCY_BUCKETS, latency)] += 1
            self.latency_sum += latency
            self.written.append(now)
            while self.written and self.written[0] < now - RATE_WINDOW:
                self.written.popleft()

    def drop(self, count: int = 1) -> None:
        with self.lock:
            self.dropped += count

    def now(self, state: str, reason: str = "", reconnects: Optional[int] = None, since: Optional[float] = None
            ) -> None:
        with self.lock:
            if state != self.state:
                self.state, self.since = state, since or time.time()
            self.reason = reason
            if reconnects is not None:
                self.reconnects = reconnects

    def rate(self) -> float:
        now = time.monotonic()
        with self.lock:
            recent = [t for t in self.written if t >= now - RATE_WINDOW]
        return len(recent) / RATE_WINDOW

    def percentiles(self) -> Tuple[Optional[float], Optional[float]]:
        with self.lock:
            values = sorted(self.latencies)
        if not values:
            return None, None
        return values[len(values) // 2], values[min(len(values) - 1, int(len(values) * 0.95))]

    def state_text(self) -> str:
        with self.lock:
            state, since = self.state, self.since
        if state == "live":
            return "live"
        return f"{state} since {time.strftime('%H:%M:%S', time.localtime(since))}"


class HourlyLines:
    """A camera's result lines, appended to OUT/live/<camera>/<UTC date>T<hour>.jsonl
    (the hour its picture arrived) as each picture is analysed, one whole
    line a write: a reader following the file sees each line within the
    second, and a line the disk cuts short is cut back off."""

    def __init__(self, folder: pathlib.Path) -> None:
        self.folder = folder
        self.lock = threading.Lock()  # guards the open file
        self.hour = ""
        self.descriptor: Optional[int] = None
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise DiskError(f"{folder}: cannot be written ({error.strerror})") from None

    def write(self, record: Dict[str, Any], received: float) -> None:
        data = (json.dumps(record) + "\n").encode()
        hour = time.strftime("%Y-%m-%dT%H", time.gmtime(received))
        with self.lock:
            if hour != self.hour or self.descriptor is None:
                self._close()
                path = self.folder / f"{hour}.jsonl"
                try:
                    self.descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o666)
                except OSError as error:
                    raise DiskError(f"{path}: cannot be written ({error.strerror})") from None
                self.hour = hour
            assert self.descriptor is not None
            size = os.fstat(self.descriptor).st_size
            try:
                written = os.write(self.descriptor, data)
                if written != len(data):
                    raise OSError(28, "No space left on device")
            except OSError as error:
                os.ftruncate(self.descriptor, size)  # whole lines only
                raise DiskError(f"{self.folder / (self.hour + '.jsonl')}: cannot be written "
                                f"({error.strerror})") from None

    def _close(self) -> None:
        if self.descriptor is not None:
            os.close(self.descriptor)
            self.descriptor = None

    def close(self) -> None:
        with self.lock:
            self._close()


def table(cameras: Sequence[CameraFigures]) -> List[str]:
    """A row a camera: pictures/s, latency p50/p95, dropped, reconnects, state."""
    width = max([6, *(len(c.name) for c in cameras)])
    rows = [f"  {'camera':<{width}}  die pictures/s  latency p50/p95 (s)  dropped  reconnects  state"]
    for camera in cameras:
        p50, p95 = camera.percentiles()
        latency = "-" if p50 is None or p95 is None else f"{p50:.3f}/{p95:.3f}"
        with camera.lock:
            dropped, reconnects, die = camera.dropped, camera.reconnects, camera.die
        rows.append(f"  {camera.name:<{width}} {die:4d} {camera.rate():10.1f}  {latency:>19}  {dropped:7d}  {reconnects:10d}"
                    f"  {camera.state_text()}")
    return rows


class LiveProgress:
    """The cameras' table and the dies' utilisation: redrawn in place on a
    terminal twice a second, printed every 10 seconds elsewhere."""

    def __init__(self, cameras: Sequence[CameraFigures], dies: Sequence[int], quiet: bool,
                 stream: Optional[TextIO] = None) -> None:
        self.cameras, self.quiet = cameras, quiet
        self.stream = stream or sys.stderr
        self.terminal = self.stream.isatty()
        self.period = TERMINAL_PERIOD if self.terminal else LOG_PERIOD
        self.last = time.monotonic()
        self.drawn = 0  # lines on the terminal to draw over
        self.monitor: Optional[Any] = None
        if dies and not quiet:
            import quillon

            self.monitor = quillon.Monitor(dies).open()

    def loads(self) -> str:
        loads = [f"{load.card}:{load.die} {load.decoder}/{load.dsp}/{load.ai}%"
                 for load in (self.monitor.loads() if self.monitor is not None else ())]
        return "  dies dec/dsp/ai: " + " ".join(loads) if loads else ""

    def draw(self) -> None:
        if self.quiet:
            return
        now = time.monotonic()
        if now - self.last < self.period:
            return
        self.last = now
        rows = table(self.cameras)
        loads = self.loads()
        if loads:
            rows.append(loads)
        if self.terminal:
            up = f"\x1b[{self.drawn}A" if self.drawn else ""
            self.stream.write(up + "".join(f"\r{row}\x1b[K\n" for row in rows))
            self.drawn = len(rows)
        else:
            self.stream.write(time.strftime("%H:%M:%S ") + "cameras\n" + "\n".join(rows) + "\n")
        self.stream.flush()

    def close(self) -> None:
        monitor, self.monitor = self.monitor, None
        if monitor is not None:
            monitor.close()


def summary(cameras: Sequence[CameraFigures], dies: int, model: str, elapsed: float, out: pathlib.Path,
            interrupted: bool) -> str:
    pictures = sum(camera.pictures for camera in cameras)
    rows = [f"quillon pipeline: {pictures} pictures from {len(cameras)} camera{'s' if len(cameras) != 1 else ''} on "
            f"{dies} die{'s' if dies != 1 else ''} in {elapsed:.2f} s{' - interrupted' if interrupted else ''}",
            f"  model: {model}", "", *table(cameras), ""]
    for camera in cameras:
        if camera.reason:
            rows.append(f"  {camera.name}: {camera.reason}")
        if camera.failed:
            rows.append(f"  {camera.name}: {camera.failed} pictures the model could not run on")
    rows.append(f"  results: {out / LIVE}/<camera>/<UTC date>T<hour>.jsonl ({pictures} lines)")
    return "\n".join(rows)
