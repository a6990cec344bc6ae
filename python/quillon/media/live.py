"""Live sources (cameras): what counts as live, and a video that opens its
source again when it fails or ends, with growing pauses between attempts,
for as long as it is read. Its frames carry when they arrived and how many
times the source came back."""
from __future__ import annotations

import logging
import random
import socket
import threading
import time
import urllib.parse
from typing import Any, Dict, Generator, Iterator, Optional, Tuple

from .container import _Container, _turned_upright
from .frame import Frame
from .kinds import without_password
from .memory import PictureBlock, _checked_picture, _Memory
from .part import ConverterArgs

_log = logging.getLogger("quillon")

# Schemes whose sources have no end known in advance; an http(s) source is
# live when its container gives no duration (a live HLS playlist).
LIVE_SCHEMES = ("rtsp://", "rtsps://", "rtmp://", "rtmps://", "udp://", "rtp://", "srt://", "tcp://")
FIRST_PAUSE, LONGEST_PAUSE = 0.5, 30.0
# How long libavformat reads a live source to learn its stream (microseconds):
# its default of up to 5 s makes every return of a camera a second or more
# later, and 0.5 s of pictures tells the rate of any camera of 2 pictures a
# second or more.
LIVE_ANALYSIS = 500_000
# While a source is away its port is looked at this often (seconds): a camera
# that comes back is tried as soon as its port accepts again, not at the end
# of a pause that may be 30 s long. The pauses keep whole attempts (a stream
# opened and probed, the costly part) rare while it is away; a port that
# accepts all along (the server up, the stream failing) waits them out.
PORT_WATCH = 0.25
# The ports of the schemes served over TCP, where the URL gives none.
_DEFAULT_PORTS = {"rtsp": 554, "rtsps": 322, "rtmp": 1935, "rtmps": 443, "http": 80, "https": 443}


def is_live(name: str, duration: Optional[float]) -> bool:
    """Whether the source `name`, whose container gives `duration`, has no known end."""
    lowered = name.lower()
    if lowered.startswith(LIVE_SCHEMES):
        return True
    return lowered.startswith(("http://", "https://")) and duration is None


def live_options(name: str, options: Optional[Dict[str, Any]]) -> Optional[Dict[str, Any]]:
    """The libavformat options a source is opened with: the caller's, and for
    a live source a short analysis unless the caller gives one."""
    if not name.lower().startswith(LIVE_SCHEMES) or (options and "analyzeduration" in options):
        return options
    return {"analyzeduration": LIVE_ANALYSIS, **(options or {})}


class Backoff:
    """The pauses between attempts to reach a source: `first` seconds,
    doubling to `longest`, each one drawn within 25 % of its value so that
    cameras that dropped together (a switch restarting) do not all come
    back in the same instant. `reset()` after a success."""

    def __init__(self, first: float = FIRST_PAUSE, longest: float = LONGEST_PAUSE,
                 draw: Optional[random.Random] = None) -> None:
        self.first, self.longest = first, longest
        self.attempts = 0
        self._draw = draw or random.Random()

    def next(self) -> float:
        """The pause before the next attempt."""
        pause = min(self.first * 2.0 ** min(self.attempts, 32), self.longest)
        self.attempts += 1
        return pause * self._draw.uniform(0.75, 1.25)

    def reset(self) -> None:
        self.attempts = 0


class LiveFrame(Frame):
    """A frame of a live source. Besides `Frame`'s attributes: `received`
    (the UNIX time the last packet of the picture was read) and `reconnects`
    (how many times the source had come back when it arrived). `pts` runs on
    across returns: the first picture after one is timed from the last
    before it plus the time the source was away."""

    __slots__ = ("received", "reconnects")

    def __init__(self, index: int, pts: float, format: str, source: str, picture: PictureBlock,
                 memory: _Memory, received: float, reconnects: int) -> None:
        super().__init__(index, pts, format, source, picture, memory)
        self.received = received
        self.reconnects = reconnects


class LiveVideo:
    """A live source opened by `quillon.open(url, reconnect=True)`. It has the
    attributes of a `Video` (those of its first connection; `frame_count`
    and `duration` None, `live` True) and one `frames()` pass at a time,
    which goes on through drops until the video is closed: a source that
    fails or ends is opened again after a pause (0.5 s doubling to 30 s,
    with jitter), for ever. The `quillon` logger says each drop and each
    return once. `reconnects` counts the returns, `state` is "live" or
    "reconnecting", `since` the UNIX time the state began."""

    live = True
    frame_count: Optional[int] = None
    duration: Optional[float] = None
    timestamps = True

    def __init__(self, url: str, device: int, autorotate: bool, timeout: float,
                 options: Optional[Dict[str, Any]]) -> None:
        self.source, self.device, self.autorotate = url, device, autorotate
        self.shown = without_password(url)
        self._timeout, self._options = timeout, options
        self._memory = _Memory()
        self._closed = threading.Event()  # set by close(): ends a pause at once
        self._lock = threading.Lock()  # guards _part and _reading
        self._reading = False
        self._part: Optional[_Container] = self._connect()
        first = self._part
        self.codec, self.width, self.height = first.codec, first.width, first.height
        self.fps, self.decoder, self.rotation = first.fps, first.decoder, first.rotation
        self.container = first.container
        self.reconnects = 0
        self.state, self.since = "live", time.time()

    def _connect(self) -> _Container:
        part = _Container(self.source, self._timeout, self._options)
        try:
            _turned_upright(part, self.autorotate)
        except BaseException:
            part.close()
            raise
        return part

    def __enter__(self) -> "LiveVideo":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        part = getattr(self, "_part", None)
        if part is not None:
            part.close()

    def close(self) -> None:
        """Ends the pass (at its next picture, or at once during a pause),
        closes the source and frees the frames' device memory. Any thread may
        call it."""
        self._closed.set()
        self._memory.close()
        with self._lock:
            part = None if self._reading else self._part
        if part is not None:
            part.close()

    def frames(self, format: str = "rgb24", size: Optional[Tuple[int, int]] = None, device: Optional[int] = None,
               copy: bool = True) -> Iterator[LiveFrame]:
        """The pictures as they arrive, through drops and returns, until the
        video is closed (or the loop stops). `format`, `size`, `device` and
        `copy` are those of `Video.frames()`."""
        from .. import runtime

        size = _checked_picture(format, size)
        die = self.device if device is None else runtime.resolve(device)
        with self._lock:
            self._claim(False)
        return self._frames((format, size, not copy, 0), die)

    def _claim(self, take: bool) -> None:
        """Refuses a pass on a closed video or beside another; with `take`, the
        pass holds the source. A pass takes it only once it starts: a
        generator that never starts runs no `finally`, and would otherwise hold
        the source until collected. The caller holds _lock."""
        if self._closed.is_set():
            raise ValueError("the video is closed")
        if self._reading:
            raise ValueError(f"{self.shown} is being read by another frames() pass: a live source is read by "
                             "one pass at a time")
        if take:
            self._reading = True

    def _frames(self, args: ConverterArgs, device: int) -> Generator[LiveFrame, None, None]:
        with self._lock:
            self._claim(True)
        frame: Optional[LiveFrame] = None
        index = 0
        offset = 0.0  # added to the source's times so that they run on across returns
        last: Optional[Tuple[float, float]] = None  # (pts, received) of the last picture
        backoff = Backoff()
        try:
            while not self._closed.is_set():
                part = self._part or self._reconnect(backoff)
                if part is None:
                    return
                fresh = True
                reason = "the source ended"
                try:
                    for pts, picture, _name in part.pictures(self._memory, (*args[:3], part.turn), device, None):
                        if self._closed.is_set():
                            return
                        received = part.received
                        if fresh and last is not None:
                            offset = last[0] + max(received - last[1], 0.0) - pts
                        if fresh:
                            fresh = False
                            backoff.reset()
                        last = (pts + offset, received)
                        frame = LiveFrame(index, pts + offset, args[0], self.shown, picture, self._memory, received,
                                          self.reconnects)
                        index += 1
                        yield frame
                        if picture.borrowed:
                            frame._gone = True
                        frame = None
                except OSError as error:
                    reason = str(error)
                except Exception:
                    # The video was closed under the pass (its memory or demuxer gone).
                    if self._closed.is_set():
                        return
                    raise
                if self._closed.is_set():
                    return
                self._dropped(part, reason)
        finally:
            if frame is not None and frame.picture.borrowed:
                frame._gone = True
            with self._lock:
                self._reading = False
                part = self._part if self._closed.is_set() else None
            if part is not None:
                part.close()

    def _dropped(self, part: _Container, reason: str) -> None:
        with self._lock:
            self._part = None
        part.close()
        self.state, self.since = "reconnecting", time.time()
        _log.warning("%s: the source dropped (%s); opening it again", self.shown, without_password(reason))

    def _reconnect(self, backoff: Backoff) -> Optional[_Container]:
        """The source opened again after pauses, or None once the video is closed."""
        address = _tcp_address(self.source)
        while not self._pause(backoff.next(), address):
            try:
                part = self._connect()
            except OSError as error:
                _log.debug("%s: still away (%s)", self.shown, without_password(str(error)))
                continue
            with self._lock:
                if self._closed.is_set():
                    part.close()
                    return None
                self._part = part
            away = time.time() - self.since
            self.reconnects += 1
            self.state, self.since = "live", time.time()
            _log.warning("%s: the source is back after %.1f s", self.shown, away)
            return part
        return None

    def _pause(self, seconds: float, address: Optional[Tuple[str, int]]) -> bool:
        """Waits `seconds`, or until the source's port, refusing, accepts
        again; True when the video was closed meanwhile."""
        if address is None:
            return self._closed.wait(seconds)
        end = time.monotonic() + seconds
        try:  # resolved once a pause: a name that does not resolve only waits
            found = socket.getaddrinfo(*address, type=socket.SOCK_STREAM)[0]
        except (OSError, IndexError, UnicodeError):
            return self._closed.wait(seconds)
        refused = not _accepts(found)
        while (left := end - time.monotonic()) > 0:
            if self._closed.wait(min(PORT_WATCH, left)):
                return True
            accepts = _accepts(found)
            if refused and accepts:
                _log.debug("%s: its port accepts again", self.shown)
                return False
            refused = not accepts
        return self._closed.is_set()

    def __repr__(self) -> str:
        return (f"<quillon.LiveVideo {self.shown!r} {self.codec} {self.width}x{self.height} fps={self.fps} "
                f"{self.state} reconnects={self.reconnects}>")


def _tcp_address(url: str) -> Optional[Tuple[str, int]]:
    """(host, port) of a source served over TCP, None for others (UDP, RTP, SRT)."""
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.lower()
    if scheme != "tcp" and scheme not in _DEFAULT_PORTS:
        return None
    try:
        port = parts.port or _DEFAULT_PORTS.get(scheme)  # a tcp URL names its port
    except ValueError:  # a port that is not a number: libavformat says so as it opens
        return None
    return (parts.hostname, port) if parts.hostname and port else None


def _accepts(found: Any) -> bool:
    """Whether a TCP connection to the address `found` (getaddrinfo's) is taken."""
    family, kind, protocol, _name, address = found
    try:
        with socket.socket(family, kind, protocol) as probe:
            probe.settimeout(PORT_WATCH)
            probe.connect(address)
            return True
    except OSError:
        return False
