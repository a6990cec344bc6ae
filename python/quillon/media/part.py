"""What every item of a source gives: its pictures, segments and times."""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Iterator, List, Optional, Sequence, Set, Tuple, Union

from .memory import PictureBlock, _Memory
from .segments import Schedule, Segment

if TYPE_CHECKING:
    from .numbering import KeyNumbers


# (format, size, borrow) of a frames() call and the clockwise turn (0, 90,
# 180 or 270) of the part passed, for the converters of its passes.
ConverterArgs = Tuple[str, Optional[Tuple[int, int]], bool, int]
Source = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]
# A picture of a pass with its number in its part: (pts in seconds,
# picture, file or URL, display number or None where it cannot be known).
Numbered = Tuple[float, PictureBlock, str, Optional[int]]



class _Part:
    """One item of a source: a container (file or URL) or a series of photos."""

    name: str
    codec: str
    width: int
    height: int
    fps: Optional[float]
    duration: Optional[float]
    frame_count: Optional[int]
    decoder: str
    container = "photos"  # libavformat's name of the container
    rotation = 0  # the container's turn for display, counter-clockwise degrees
    turn = 0  # the clockwise turn its pictures get: 90, 180, 270, or 0 (none, or not asked)

    def pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int,
                 start: Optional[float]) -> Iterator[Tuple[float, PictureBlock, str]]:
        """(pts in seconds, picture, file or URL) in display order."""
        raise NotImplementedError

    def check_start(self, start: float) -> None:
        """Refuses a `start` this part cannot seek to."""

    def segments(self, part: int, target: int) -> List[Segment]:
        """The part cut at its random-access points, in decode order."""
        return [Segment(self.name, part, 0, 0, None, self.frame_count)]

    def check_segment(self, segment: Segment) -> None:
        """Refuses a segment this part did not give."""
        if segment.source != self.name or segment.first_packet != 0 or segment.end_packet is not None:
            raise ValueError(f"{segment!r} is not a segment of {self.name}")

    def segment_pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int, segment: Segment,
                         schedule: Optional[Schedule] = None) -> Iterator[Tuple[float, PictureBlock, str]]:
        """The pictures of one segment, as `pictures` gives them, and of the
        segments `following` gives on (see `Video.frames`); `widen` is not
        asked."""
        return self.pictures(memory, converter_args, device, None)

    def numbered_pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int,
                          start: Optional[float]) -> Iterator[Numbered]:
        """`pictures` with each picture's number; a photo's is its place in
        the folder, which its time stamp is."""
        for pts, picture, name in self.pictures(memory, converter_args, device, start):
            yield pts, picture, name, int(pts)

    def numbered_segment_pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int,
                                  segment: Segment, schedule: Optional[Schedule] = None,
                                  wanted: Optional[Set[int]] = None) -> Iterator[Numbered]:
        """`segment_pictures` with each picture's number; `wanted`, the
        numbers of the pictures the caller keeps (None: all), lets a part
        leave out pictures that none of those refers to."""
        for pts, picture, name in self.segment_pictures(memory, converter_args, device, segment, schedule):
            yield pts, picture, name, int(pts)

    def key_numbers(self) -> Optional["KeyNumbers"]:
        """The random-access pictures' numbers, for parts with a packet index."""
        return None

    def close(self) -> None:
        pass




class _Clock:
    """Seconds from time stamps in the stream's time base; a picture without
    one (raw streams, the last pictures of some AVI files) follows the one
    before it by one frame interval, so that times keep increasing. The
    first picture without one is at `origin` frame intervals."""

    def __init__(self, num: int, den: int, rate: Optional[Tuple[int, int]], origin: int = 0) -> None:
        self.num, self.den = num, den
        self.step = rate[1] / rate[0] if rate is not None else 1 / 25
        self.origin = origin * self.step
        self.last: Optional[float] = None

    def seconds(self, pts: Optional[int]) -> float:
        if pts is None:
            value = self.origin if self.last is None else self.last + self.step
        else:
            value = pts * self.num / self.den
            if self.last is not None and value <= self.last:
                value = self.last + self.step
        self.last = value
        return value
