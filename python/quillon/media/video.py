"""`Video`, what `quillon.open` gives, and its `frames()` passes."""
from __future__ import annotations

import math
import threading
import weakref
from typing import Any, Dict, Generator, Iterator, List, Literal, Optional, Sequence, Tuple, Union, overload

from .. import runtime
from . import access
from . import sampling as sampling_
from .._native import route_codec_messages
from .frame import Frame
from .kinds import RAW_FORMATS, is_url, without_password
from .live import LiveVideo, is_live, live_options
from .memory import _checked_picture, _Memory
from .opening import open_parts
from .part import ConverterArgs, Numbered, Source, _Part
from .sampling import _Sampling, checked_sampling
from .segments import Schedule, Segment


class _Pass:
    """A `frames()` iteration, which the video's `close()` may end from any
    thread: a thread asking for the next frame meanwhile waits for the end,
    rather than finding the generator busy."""

    def __init__(self, frames: Generator[Frame, None, None]) -> None:
        self._frames = frames
        self._lock = threading.Lock()  # held while the generator runs

    def __iter__(self) -> "_Pass":
        return self

    def __next__(self) -> Frame:
        with self._lock:
            return next(self._frames)

    def close(self, wait: bool = True) -> None:
        """Ends the iteration and gives back its decoder; without `wait`, not
        while it runs (it is then ended by what it runs into)."""
        if self._lock.acquire(blocking=wait):
            try:
                self._frames.close()
            finally:
                self._lock.release()


class Video:
    """A source opened by `quillon.open`: use it in a `with` block (or call
    `close()`), read its attributes and iterate `frames()`.

    Attributes: `codec` (libavcodec's name, "jpeg" for photos), `width`,
    `height`, `fps` (float; None when unknown), `duration` (seconds; None when
    unknown), `frame_count` (None when unknown), `decoder` ("card" or "host"),
    `container` (libavformat's name of the container, such as
    "mov,mp4,m4a,3gp,3g2,mj2" or "h264"; "photos" for photos), `timestamps`
    (whether the container's time stamps are real: False for raw H.264 and
    HEVC streams, whose pictures are timed by their number at the stream's
    rate),
    `live` (True for a source without a known end: see `quillon.open`),
    `devices` (the dies `get_batch` shares its work among: those given to
    `quillon.open`, or every die when it named none),
    `rotation` (the container's display rotation: the counter-clockwise turn
    in degrees, 0 to 359, that shows the pictures upright, as ffprobe
    reports it; only 90, 180 and 270 are applied), `autorotate`
    (whether pictures are turned upright: then `width` and `height` are the
    upright ones), `source` (what was opened) and `device` (the die used by
    default: the first of those given). For a
    list the attributes are those of its first item, except `frame_count`
    and `duration`, which add up (None if any item's is unknown).
    """

    def __init__(self, source: Source, device: int, autorotate: bool = True, timeout: float = 10.0,
                 options: Optional[Dict[str, Any]] = None, devices: Optional[List[int]] = None) -> None:
        self.source = source
        self.device = device
        self.devices = devices or list(range(runtime.device_count()))
        self.autorotate = autorotate
        self._parts = open_parts(source, autorotate, timeout, options)
        self._memory = _Memory()
        self._passes: "weakref.WeakSet[_Pass]" = weakref.WeakSet()
        first = self._parts[0]
        self.codec, self.width, self.height = first.codec, first.width, first.height
        self.fps, self.decoder = first.fps, first.decoder
        self.rotation = first.rotation
        self.container = first.container
        self.timestamps = first.container not in RAW_FORMATS
        counts = [part.frame_count for part in self._parts]
        durations = [part.duration for part in self._parts]
        self.frame_count: Optional[int] = None if None in counts else sum(c for c in counts if c is not None)
        self.duration: Optional[float] = None if None in durations else sum(d for d in durations if d is not None)
        self.live = any(is_live(part.name, part.duration) for part in self._parts if is_url(part.name))

    def __enter__(self) -> "Video":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A video dropped without close() gives back its channels and
        # sources at once; its memory goes with the last frame using it.
        for part in getattr(self, "_parts", ()):
            part.close()

    def close(self) -> None:
        """Ends every `frames()` iteration, closes the sources and frees the
        device memory of the frames (their `to_numpy()` then raises
        ValueError). It may be called from any thread, and from a function
        a pass calls back (a schedule's `following()` and `widen()`): a pass running meanwhile
        ends at its next picture and gives back what it still holds."""
        self._memory.close()
        for iteration in list(self._passes):
            iteration.close(wait=False)  # one running sees the video closed at its next picture
        self._release()

    def _release(self) -> None:
        """Closes the sources that no pass is reading; a pass reading one
        closes it as it ends."""
        for part in self._parts:
            try:
                part.close()
            except ValueError:  # being read by a running pass
                pass

    def segments(self, target_pictures: int = 60) -> List[Segment]:
        """The source cut into pieces that decode independently: for each
        part (each item of a list), its segments in decode order.

        A video the card decodes is cut at its key packets (IDR, CRA and BLA
        pictures, I pictures with a recovery point), neighbouring
        random-access points merged so that a segment holds at least
        `target_pictures` packets where the part has enough (a part with one
        random-access point is one segment). Finding them reads the file's
        packets once, without decoding, the first time. A video decoded on
        the host and a URL are one segment each; photos are one segment per
        file. `frames(segment=...)` decodes one segment; the segments' frames
        in order are those of one plain `frames()` pass.
        """
        if not isinstance(target_pictures, int) or isinstance(target_pictures, bool) or target_pictures < 1:
            raise ValueError(f"target_pictures must be a positive int, not {target_pictures!r}")
        if self._memory.closed:
            raise ValueError("the video is closed")
        return [segment for number, part in enumerate(self._parts) for segment in part.segments(number,
                                                                                             target_pictures)]

    def __len__(self) -> int:
        """The number of pictures: exact, from the packet index of each file
        (the files of a folder); TypeError for a URL."""
        self._check_open()
        return sum(access.lengths(self))

    def __getitem__(self, number: int) -> Frame:
        """Picture `number` in display order (negative: from the end) as an
        rgb24 `Frame`; IndexError past the end. Only the stretch between
        random-access points that holds it is decoded."""
        self._check_open()
        return access.picture(self, number)

    def keyframes(self) -> List[int]:
        """The numbers of the random-access (key) pictures, in display order,
        from the packet index (every photo of a folder); for a list, counted
        on through its items. TypeError for a URL."""
        self._check_open()
        return access.key_pictures(self)

    def get_batch(self, numbers: Sequence[int], *, format: str = "rgb24", size: Optional[Tuple[int, int]] = None,
                  device: Union[int, Sequence[int], None] = None) -> access.Batch:
        """The pictures numbered `numbers` (in that order, repeats allowed,
        negative from the end) as one `Batch`; each is decoded once, and only
        the stretches between random-access points that hold them are.
        `device` is a die or a list of dies (default: the video's `devices`):
        with several, the stretches are shared among them, each die taking
        the next as it finishes one."""
        self._check_open()
        return access.get_batch(self, numbers, format, _checked_picture(format, size), self._dies(device))

    def get_batch_at(self, seconds: Sequence[float], *, format: str = "rgb24", size: Optional[Tuple[int, int]] = None,
                     device: Union[int, Sequence[int], None] = None) -> access.Batch:
        """The pictures shown at the times `seconds` (the last picture whose
        `pts` is not after each), as one `Batch` in that order. IndexError for
        a time before the first picture. `device` as for `get_batch`."""
        self._check_open()
        return access.get_batch_at(self, seconds, format, _checked_picture(format, size), self._dies(device))

    def sampled_numbers(self, *, step: Optional[int] = None, every: Optional[float] = None,
                        keyframes_only: bool = False) -> List[int]:
        """The numbers of the pictures `frames(step=, every=,
        keyframes_only=)` gives from the top, found without decoding (from
        the packet index): for a program that shares them out, with
        `frames(numbers=..., segment=...)`. TypeError where they cannot be
        known so: a URL, and for `every` a list or a file whose time stamps
        do not give every picture's time (a raw H.264 or HEVC stream)."""
        self._check_open()
        sampling = checked_sampling(step, every, keyframes_only)
        if sampling is None:
            return list(range(len(self)))
        return access.sampled_numbers(self, *sampling)

    def segment_numbers(self, segment: Segment) -> range:
        """The numbers of the pictures a pass over `segment` (one of
        `segments()`) gives as its own, counted on through a list's items."""
        self._check_open()
        self._check_segment(segment)
        self._parts[segment.part].check_segment(segment)
        return range(*access.segment_numbers(self, segment))

    def _dies(self, device: Union[int, Sequence[int], None]) -> List[int]:
        return _named_dies(device) or self.devices

    def _check_open(self) -> None:
        if self._memory.closed:
            raise ValueError("the video is closed")

    def frames(self, format: str = "rgb24", size: Optional[Tuple[int, int]] = None, device: Optional[int] = None,
               start: Optional[float] = None, segment: Optional[Segment] = None, copy: bool = True, *,
               step: Optional[int] = None, every: Optional[float] = None, keyframes_only: bool = False,
               numbers: Optional[Sequence[int]] = None) -> Iterator[Frame]:
        """Decodes the pictures in display order as `Frame` objects.

        `format` is one of "nv12", "rgb24", "bgr24", "gray", "rgb_planar";
        `size` is (width, height) to resize to on the die (bilinear), None
        to keep the coded size; `device` is the die to decode and convert on
        (default: the video's); `start` (seconds, finite) begins at the
        random-access point before it and yields from the first picture at
        or after it (for photos: the number of the first photo). Each pass
        reads with a demuxer of its own; a URL is read by one pass at a time.

        `segment` (one of `segments()`, not with `start`) decodes only that
        segment's pictures; `index` then counts within the segment. Frames
        keep the container's `pts`; in a stream without time stamps the
        first picture of a segment is timed as if it were picture
        `first_packet`, so neighbouring segments' times may overlap.

        `copy=False` saves a copy of every picture the decoder gives as it
        is (asked for in its coded format and size): such a frame is the
        decoder's own picture and lasts until the next frame is asked for
        (then its `to_numpy()` and `device_address` raise ValueError), which
        suits a loop that uses each frame at once, as `model.submit(frame)`
        does. Other frames are copies either way.

        Sampling (decoding only what the samples need where the file's
        packet index allows): `step=N` gives pictures 0, N, 2N, ... of the
        pass; `every=seconds` the picture shown at t = start (or the first
        picture's time), start + every, ...: the last one whose `pts` is not
        after t, each at most once (such frames are always copies);
        `keyframes_only=True` the random-access pictures only. `number`
        says each frame's place in its file.

        `numbers` (as `get_batch` takes them; with `segment`, those within
        it) gives those pictures, each once in display order, decoding only
        what they need; not with `start` or sampling.
        """
        size = _checked_picture(format, size)
        sampling = checked_sampling(step, every, keyframes_only)
        if numbers is not None:
            if start is not None or sampling is not None:
                raise ValueError("give numbers, or start and sampling, not both")
            if segment is not None:
                self._check_segment(segment)
                self._parts[segment.part].check_segment(segment)
            self._check_open()
            die = self.device if device is None else runtime.resolve(device)
            return self._passed(self._framed((format, size, not copy, 0),
                                             access.numbered_pictures(self, numbers, format, size, not copy, die,
                                                                      segment)))
        if start is not None:
            if not isinstance(start, (int, float)) or isinstance(start, bool) or not math.isfinite(start):
                raise ValueError(f"start must be a finite number of seconds, not {start!r}")
            for part in self._parts:
                part.check_start(start)
        if segment is not None:
            if start is not None:
                self._check_segment(segment)
                raise ValueError("give a segment or a start, not both")
            if sampling is None:
                return self.segment_frames(segment, format=format, size=size, device=device, copy=copy)
            self._check_segment(segment)
            self._parts[segment.part].check_segment(segment)
        die = self.device if device is None else runtime.resolve(device)
        if self._memory.closed:
            raise ValueError("the video is closed")
        if sampling is not None:
            return self._passed(self._sampled((format, size, not copy and every is None, 0), die, start, segment,
                                              sampling))
        return self._passed(self._frames((format, size, not copy, 0), die, start))

    def _sampled(self, args: ConverterArgs, device: int, start: Optional[float], segment: Optional[Segment],
                 sampling: "_Sampling") -> Generator[Frame, None, None]:
        step, every, keyframes_only = sampling
        memory = self._memory
        parts = list(enumerate(self._parts)) if segment is None else [(segment.part, self._parts[segment.part])]
        if start is None and segment is None and len(parts) == 1 and parts[0][1].container != "photos":
            # The wanted numbers are known before decoding: only the
            # stretches that hold them are read.
            part = parts[0][1]
            try:
                wanted = access.sampled_numbers(self, step, every, keyframes_only)
            except TypeError:  # a network source, or times known only by decoding
                pass
            else:
                return self._framed(args, sampling_.wanted_pictures(part, 0, wanted, memory, (*args[:3], part.turn),
                                                                    device))
        items: Iterator[Numbered]
        if segment is None:
            items = (item for number, part in parts
                     for item in self._keyed(part, part.numbered_pictures(memory, (*args[:3], part.turn), device,
                                                                          start), keyframes_only))
        else:
            part = parts[0][1]
            items = self._keyed(part, part.numbered_segment_pictures(memory, (*args[:3], part.turn), device, segment),
                                keyframes_only)
        if step is not None:
            stride = step
            items = sampling_.sampled(items, memory, lambda position, item: position % stride == 0)
        if every is not None:
            items = sampling_.shown_at(items, memory, every, start)
        return self._framed(args, items)

    def _keyed(self, part: _Part, items: Iterator[Numbered], keyframes_only: bool) -> Iterator[Numbered]:
        """`items`, or only the random-access pictures among them."""
        if not keyframes_only or part.container == "photos":
            return items
        numbers = part.key_numbers()
        if numbers is None:
            raise ValueError(f"the random-access pictures of {part.name} are not known (a network source, or a "
                             "file that cannot be read whole)")
        keys = set(numbers.key_pictures)
        return sampling_.sampled(items, self._memory, lambda position, item: item[3] in keys)

    def segment_frames(self, segment: Segment, schedule: Optional[Schedule] = None, *, format: str = "rgb24",
                       size: Optional[Tuple[int, int]] = None, device: Optional[int] = None, copy: bool = True
                       ) -> Iterator[Frame]:
        """The frames of `segment` (one of `segments()`), as
        `frames(segment=...)` gives them, for a program that schedules
        segments itself, as the main job does.

        `schedule` (a `quillon.media.Schedule`) steers the pass as it goes:
        as the decoder reaches the end of the segments it has,
        `schedule.following()` is asked for the next one (the segment of
        the same part that starts where they end), or None to end there. The
        pass then gives what one `frames(segment=...)` over all of them
        would, without the decoder starting afresh; `index` goes on
        counting. `schedule.widen()` is asked as the pass starts and as it
        goes on into a segment that starts with an IDR picture without
        leading pictures (where a new decoder can take over): True has the
        pass decode from there on every processor (a channel made with
        `enableMC`), as the last pass of a run would once the other dies are
        done; the decoder before finishes its stream while the new one
        starts. The pictures are the same either way. Photos and videos
        decoded on the host end with their segment and do not ask.

        `format`, `size`, `device` and `copy` are those of `frames()`.
        """
        size = _checked_picture(format, size)
        self._check_segment(segment)
        if schedule is not None and not (callable(getattr(schedule, "following", None))
                                         and callable(getattr(schedule, "widen", None))):
            raise TypeError(f"schedule must have following() and widen() methods, not {type(schedule).__name__}")
        die = self.device if device is None else runtime.resolve(device)
        if self._memory.closed:
            raise ValueError("the video is closed")
        self._parts[segment.part].check_segment(segment)
        return self._passed(self._segment_frames((format, size, not copy, 0), die, segment, schedule))

    def _check_segment(self, segment: Segment) -> None:
        if not isinstance(segment, Segment):
            raise TypeError(f"segment must be a quillon.media.Segment, not {type(segment).__name__}")
        if not (isinstance(segment.part, int) and 0 <= segment.part < len(self._parts)):
            raise ValueError(f"{segment!r} is not a segment of this video: it has {len(self._parts)} parts")

    def _passed(self, frames: Generator[Frame, None, None]) -> Iterator[Frame]:
        iteration = _Pass(frames)
        self._passes.add(iteration)
        return iteration

    def _frames(self, args: ConverterArgs, device: int, start: Optional[float]) -> Generator[Frame, None, None]:
        return self._framed(args, (item for part in self._parts
                                   for item in part.numbered_pictures(self._memory, (*args[:3], part.turn), device,
                                                                      start)))

    def _segment_frames(self, args: ConverterArgs, device: int, segment: Segment, schedule: Optional[Schedule]
                        ) -> Generator[Frame, None, None]:
        part = self._parts[segment.part]
        return self._framed(args, part.numbered_segment_pictures(self._memory, (*args[:3], part.turn), device, segment,
                                                                 schedule))

    def _framed(self, args: ConverterArgs, pictures: Iterator[Numbered]) -> Generator[Frame, None, None]:
        """The pictures as frames, numbered from 0. A borrowed one is gone as
        soon as the pass moves on or ends in any way (the next frame asked
        for, a `break`, an exception, `close()`): the decoder then takes its
        picture back and fills it again. A pass the video's `close()` could
        not end at once (running in another thread, or calling back into it
        from its schedule) ends quietly at its next picture."""
        frame: Optional[Frame] = None
        try:
            for index, (pts, picture, name, number) in enumerate(pictures):
                if self._memory.closed:
                    break
                frame = Frame(index, pts, args[0], name, picture, self._memory, number)
                yield frame
                if picture.borrowed:
                    frame._gone = True
                frame = None
        except Exception:
            # What failed because close() took the memory and sources away
            # from under the pass is the pass's end, not an error.
            if not self._memory.closed:
                raise
        finally:
            if frame is not None and frame.picture.borrowed:
                frame._gone = True
            frame = None
            close = getattr(pictures, "close", None)
            if close is not None:
                close()  # the pass's decoder goes back now, not when collected
            if self._memory.closed:
                self._release()

    def __repr__(self) -> str:
        shown = without_password(self.source) if isinstance(self.source, str) else self.source
        return (f"<quillon.Video {shown!r} {self.codec} {self.width}x{self.height} fps={self.fps} "
                f"decoder={self.decoder}>")


@overload
def open(source: Source, *, device: Union[int, Sequence[int], None] = None, autorotate: bool = True,
         timeout: float = 10.0, options: Optional[Dict[str, Any]] = None, reconnect: Literal[False] = False
         ) -> Video: ...


@overload
def open(source: Source, *, device: Union[int, Sequence[int], None] = None, autorotate: bool = True,
         timeout: float = 10.0, options: Optional[Dict[str, Any]] = None, reconnect: bool
         ) -> Union[Video, LiveVideo]: ...


def open(source: Source, *, device: Union[int, Sequence[int], None] = None, autorotate: bool = True,
         timeout: float = 10.0, options: Optional[Dict[str, Any]] = None, reconnect: bool = False
         ) -> Union[Video, LiveVideo]:
    """Opens a video or photos for decoding on the card.

    `source` is a container file (anything libavformat demuxes: MP4, MOV,
    MKV, MPEG-TS, AVI, FLV, ...), an H.264/HEVC Annex B file, a JPEG file, a
    folder of JPEG files (taken in name order), an http://, https:// or
    rtsp:// URL, or a list of these (played one after the other). `device` is
    the die to decode on (default: the first), or a list of dies: passes
    decode on the first, and batches share their work among them all. A video whose container asks
    for a quarter or half turn at display (a phone's MOV or MP4) gives its
    pictures turned upright, as ffmpeg shows them, unless `autorotate` is
    False.

    A URL that does not answer within `timeout` seconds fails; `options`
    (a dict such as {"rtsp_transport": "tcp"}) go to libavformat as they
    are. `video.live` is True for a source without a known end (RTSP, UDP,
    RTMP, SRT, live HTTP). With `reconnect=True` such a source (a camera)
    gives a `LiveVideo`, which opens it again whenever it fails or ends.

    Raises OSError (FileNotFoundError for a missing file) when a source
    cannot be opened or holds no video, quillon.Error when the card fails.
    """
    if not isinstance(autorotate, bool):
        raise TypeError(f"autorotate must be True or False, not {type(autorotate).__name__}")
    if not isinstance(reconnect, bool):
        raise TypeError(f"reconnect must be True or False, not {type(reconnect).__name__}")
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if options is not None and not isinstance(options, dict):
        raise TypeError(f"options must be a dict of libavformat options, not {type(options).__name__}")
    dies = _named_dies(device)
    die = dies[0] if dies else runtime.resolve(None)
    runtime.start_media()
    # libav's messages go to the runtime's log through a callback that takes
    # no interpreter lock: one that does (PyAV's) would wait for ever on a
    # decoder thread that a channel being stopped waits for, lock held.
    route_codec_messages()
    if reconnect and isinstance(source, str) and is_live(source, None):
        return LiveVideo(source, die, autorotate, float(timeout), live_options(source, options))
    return Video(source, die, autorotate, float(timeout), options, dies)


def _named_dies(device: Union[int, Sequence[int], None]) -> Optional[List[int]]:
    """The dies `device` names, checked, each once; None when it names none."""
    if device is None:
        return None
    if isinstance(device, (list, tuple, range)):
        if not device:
            raise ValueError("device names no die: give a die or a non-empty list of dies")
        return list(dict.fromkeys(runtime.resolve(die) for die in device))
    return [runtime.resolve(device)]
