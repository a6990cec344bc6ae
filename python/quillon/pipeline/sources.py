"""What the main job reads: the inputs a user names (video files of any
container, Annex B streams, photos, folders of photos, URLs), checked with a
message naming the file, and cut into tasks: a photo, a video decoded on
the host, a URL, or a segment of a video file between random-access points.
Tasks are numbered in the order their results are written."""
from __future__ import annotations

import bisect
import os
import pathlib
import stat
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Sequence, Tuple

from .errors import TaskFailed, UserError


@dataclass
class Input:
    """One thing to read: a video file or URL, or a photo (a folder gives one
    input per photo, `position` being the photo's place in the folder)."""

    name: str
    kind: str                       # "video", "url" or "photo"
    position: int = 0               # photos: place in their folder
    codec: str = ""
    decoder: str = "card"
    width: int = 0
    height: int = 0
    fps: Optional[float] = None
    frame_count: Optional[int] = None
    timestamps: bool = True         # False: Annex B, pictures are timed by their number
    note: str = ""                  # said once in the summary (host decoding, one segment)
    sampling: Any = None            # a pipeline.sampling.Sampling: the pictures analysed; None: all
    wanted: Optional[Tuple[int, ...]] = None  # sampling: the numbers analysed, when known before decoding

    @property
    def shown(self) -> str:
        """The name as outputs and messages give it: a URL's password as ***."""
        from quillon.media.kinds import without_password

        return without_password(self.name)


@dataclass
class Task:
    number: int
    input: int                      # index into the inputs
    source: str
    segment: Any = None             # a quillon.media.Segment, or None for the whole input
    pictures: Optional[int] = None  # expected, when known
    first_picture: int = 0          # about where in its input the task starts (for sampling)
    wanted: Optional[Tuple[int, ...]] = None  # sampling: the numbers of its pictures analysed, when known


def _is_url(text: str) -> bool:
    from quillon.media import kinds  # the package's kinds of source, loaded with the package when needed

    return kinds.is_url(text)


def _readable(path: pathlib.Path) -> None:
    """Refuses what does not exist or cannot be read. Only a regular file is
    opened to find out: a FIFO or a device gives its bytes once, to the
    demuxer."""
    try:
        status = path.stat()
    except FileNotFoundError:
        raise UserError(f"{path}: no such file or folder") from None
    except OSError as error:
        raise UserError(f"{path}: cannot be read ({error.strerror})") from None
    if not stat.S_ISREG(status.st_mode):
        if not os.access(path, os.R_OK):
            raise UserError(f"{path}: cannot be read (Permission denied)")
        return
    try:
        with open(path, "rb") as file:
            file.read(1)
    except OSError as error:
        raise UserError(f"{path}: cannot be read ({error.strerror})") from None
    if status.st_size == 0:
        raise UserError(f"{path}: the file is empty")


def _photos(folder: pathlib.Path) -> List[pathlib.Path]:
    """The folder's pictures, as `quillon.open` reads the folder."""
    from quillon.media.kinds import PHOTO_SUFFIXES, photo_entries

    try:
        photos = photo_entries(str(folder))
    except OSError as error:
        raise UserError(f"{folder}: the folder cannot be read ({error.strerror})") from None
    if not photos:
        raise UserError(f"{folder}: the folder holds no JPEG files or other pictures ({', '.join(PHOTO_SUFFIXES)}, "
                        ".png, .webp, ...)")
    return [pathlib.Path(photo) for photo in photos]


def collect(arguments: Sequence[str]) -> List[Input]:
    """The inputs in the order given; folders expand to their photos in name order."""
    from quillon.media import kinds

    inputs: List[Input] = []
    for argument in arguments:
        if _is_url(argument):
            inputs.append(Input(argument, "url"))
            continue
        path = pathlib.Path(argument)
        if path.is_dir():
            inputs += [Input(str(photo), "photo", position) for position, photo in enumerate(_photos(path))]
            continue
        _readable(path)
        photo = kinds.is_jpeg(str(path))
        if not photo and path.suffix.lower() in kinds.PHOTO_SUFFIXES:
            # libavformat would take it by its name for a JPEG of no size.
            raise UserError(f"{path}: not a JPEG file (named as one, but its first bytes are not a JPEG file's)")
        inputs.append(Input(str(path), "photo" if photo else "video"))
    return inputs


def readable(arguments: Sequence[str], checked: Optional[Callable[[], None]] = None) -> Tuple[List[Input], List[str]]:
    """The inputs that can be read, collected and probed one argument at a
    time, and a line for each that cannot (with its reason): one unreadable
    input among several costs only itself. `checked` is called after each
    argument (the run's safe point for signals)."""
    inputs: List[Input] = []
    unread: List[str] = []
    for argument in arguments:
        try:
            found = collect([argument])
            for item in found:
                probe(item)
        except UserError as error:
            unread.append(str(error))
        else:
            inputs += found
        if checked is not None:
            checked()
    return inputs, unread


def probe(item: Input) -> None:
    """Opens a video or URL once to learn its codec, size and length; a file
    that is not a video gets a message naming it and what was wrong."""
    import quillon

    if item.kind == "photo":
        item.codec, item.frame_count = "jpeg", 1
        return
    try:
        with quillon.open(item.name) as video:
            item.codec, item.decoder = video.codec, video.decoder
            item.width, item.height, item.fps = video.width, video.height, video.fps
            item.frame_count = video.frame_count
            item.timestamps = video.timestamps
    except quillon.Error as error:
        raise UserError(f"{item.shown}: the card cannot open it ({error})") from None
    except OSError as error:
        reason = str(error.strerror or error) if isinstance(error, FileNotFoundError) else str(error)
        if item.kind == "url":
            raise UserError(f"{item.shown}: cannot be read ({reason})") from None
        raise UserError(f"{item.name}: not a video or photo this program reads ({reason})") from None
    if item.decoder == "host":
        item.note = (f"{item.shown}: {item.codec} has no decoder on the card; decoded on the host "
                     "(the card decodes H.264, HEVC and JPEG)")


def tasks(inputs: Sequence[Input], dies: int) -> List[Task]:
    """Every input cut into tasks. A video file decoded on the card is split
    at its random-access points into segments of at least a tenth of a
    die's share of it (at most 60 pictures), so that every die stays busy
    to the end; anything else is one task."""
    import quillon

    made: List[Task] = []
    for index, item in enumerate(inputs):
        if item.kind != "video" or item.decoder != "card":
            made.append(Task(len(made), index, item.name, None, item.frame_count, wanted=item.wanted))
            continue
        with quillon.open(item.name) as video:
            segments = video.segments(1)  # one a random-access point
            packets = sum(segment.pictures or 0 for segment in segments)
            target = max(1, min(60, packets // max(1, 10 * dies)))
            if target > 1:
                segments = video.segments(target)
            # A sampled input's tasks each decode only what their share of
            # the wanted pictures needs.
            shares = [None if item.wanted is None else _within(item.wanted, video.segment_numbers(segment))
                      for segment in segments]
        first = 0
        for segment, share in zip(segments, shares):
            pictures = None if segment is None else segment.pictures
            made.append(Task(len(made), index, item.name, segment, pictures, first, share))
            first += pictures or 0
        if len(segments) == 1 and dies > 1:
            item.note = (f"{item.name}: one random-access point (a single group of pictures), so it ran on one "
                         "die; re-encode with key pictures every second or so to share it among dies")
    return made


def _within(wanted: Tuple[int, ...], numbers: range) -> Tuple[int, ...]:
    """The numbers of `wanted` (ascending) in `numbers`."""
    return wanted[bisect.bisect_left(wanted, numbers.start):bisect.bisect_left(wanted, numbers.stop)]


def open_video(source: str, device: int) -> Any:
    """`source` open on `device` for its segments; TaskFailed (with the
    reason) when it will not open, which fails the tasks that need it."""
    import quillon

    try:
        return quillon.open(source, device=device)
    except (quillon.Error, OSError) as error:
        raise TaskFailed(f"{display_name(source)}: {reason(error)}") from None


def reason(error: BaseException) -> str:
    """An error's first line, for the summary: its type when it has no text."""
    return str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__


def display_name(path: str) -> str:
    """A short name for the summary and the contact sheet (a URL's password as ***)."""
    from quillon.media.kinds import without_password

    return without_password(path) if _is_url(path) else os.path.basename(path) or path


def names(inputs: Sequence[Input]) -> str:
    """The first inputs' names, for the summary's first line."""
    shown = [display_name(i.name) for i in inputs[:3]]
    return ", ".join(shown) + (f" and {len(inputs) - 3} more" if len(inputs) > 3 else "")
