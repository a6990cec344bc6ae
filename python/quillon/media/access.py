"""Random access to a video's pictures: its length, a picture by number,
and batches of pictures by number or by time as one array (`Batch`)."""
from __future__ import annotations

import bisect
import math
import operator
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Protocol, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from .channel import _NO_PTS
from .frame import Frame
from .kinds import is_url
from .memory import _Memory
from .part import ConverterArgs, Numbered, _Part
from .sampling import give_back, run_pass, wanted_pictures


class Accessed(Protocol):
    """What random access reads of a video (a `Video` is one): its items,
    its device memory, its die and its source for messages."""

    _parts: List[_Part]
    _memory: _Memory
    device: int
    source: Any


@dataclass(frozen=True)
class Batch:
    """Pictures of one video as one host array, in the order asked for
    (repeats allowed): `data` is N x H x W x 3 (`rgb24`, `bgr24`), N x H x W
    (`gray`), N x 3 x H x W (`rgb_planar`) or N x (H * 3 / 2) x W (`nv12`)
    of uint8; `numbers` are the pictures' numbers in the video (counted on
    through the items of a list), `pts` their times in seconds (each item's
    own). It hands `data` to numpy and PyTorch through DLPack and the array
    protocol without a copy."""

    data: npt.NDArray[np.uint8]
    numbers: Tuple[int, ...]
    pts: Tuple[float, ...]

    def __len__(self) -> int:
        return len(self.numbers)

    def __dlpack__(self, *, stream: Optional[int] = None, **kwargs: Any) -> Any:
        if stream is not None and stream != -1:
            raise BufferError("a batch lives in host memory: stream must be None")
        return self.data.__dlpack__()

    def __dlpack_device__(self) -> Tuple[int, int]:
        return (1, 0)  # kDLCPU

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> npt.NDArray[Any]:
        if dtype is not None and np.dtype(dtype) != self.data.dtype:
            return self.data.astype(dtype)
        return self.data.copy() if copy else self.data


def part_length(part: _Part) -> int:
    """Pictures in one item of a video: the packets of a file, the files of a
    folder; a file without a packet index (one that cannot be read whole)
    is counted by decoding it."""
    if part.container == "photos":
        return int(part.frame_count or 0)
    if _is_url(part):
        raise TypeError(f"{part.name} is a network source: its length is not known")
    numbers = part.key_numbers()
    if numbers is not None:
        return numbers.packets
    raise TypeError(f"the length of {part.name} is not known: its packets cannot all be read")


def _is_url(part: _Part) -> bool:
    return part.container != "photos" and is_url(part.name)


def key_pictures(video: Accessed) -> List[int]:
    """The numbers of the random-access pictures, counted on through the
    items of a list: a file's from its packet index, every photo."""
    found: List[int] = []
    first = 0
    for part, length in zip(video._parts, lengths(video)):
        if part.container == "photos":
            found += range(first, first + length)
        else:
            numbers = part.key_numbers()
            if numbers is None:
                raise TypeError(f"the key pictures of {part.name} are not known: its packets cannot all be read")
            found += [first + number for number in numbers.key_pictures]
        first += length
    return found


def lengths(video: Accessed) -> List[int]:
    return [part_length(part) for part in video._parts]


def _checked_numbers(numbers: Sequence[int], total: int) -> List[int]:
    if isinstance(numbers, (str, bytes)) or not hasattr(numbers, "__iter__"):
        raise TypeError(f"numbers must be a sequence of ints, not {type(numbers).__name__}")
    checked = []
    for value in numbers:
        try:
            number = operator.index(value)
        except TypeError:
            raise TypeError(f"picture numbers must be ints, not {type(value).__name__}") from None
        if not -total <= number < total:
            raise IndexError(f"picture {number} is out of range: the video has {total} pictures")
        checked.append(number + total if number < 0 else number)
    return checked


def _args(video: Accessed, format: str, size: Optional[Tuple[int, int]], part: _Part) -> ConverterArgs:
    return (format, size, False, part.turn)


def _host_copy(video: Accessed, item: Numbered, format: str) -> npt.NDArray[np.uint8]:
    frame = Frame(0, item[0], format, item[2], item[1], video._memory, item[3])
    return frame.to_numpy()


def _pictures(video: Accessed, numbers: List[int], format: str, size: Optional[Tuple[int, int]],
              device: int) -> Iterator[Tuple[int, Numbered]]:
    """The pictures of the video numbered `numbers`, decoded once each, with
    their numbers in the video, in ascending order."""
    first = 0
    for part_number, (part, length) in enumerate(zip(video._parts, lengths(video))):
        local = sorted({n - first for n in numbers if first <= n < first + length})
        for item in wanted_pictures(part, part_number, local, video._memory, _args(video, format, size, part), device):
            yield first + _number(item), item
        first += length


def get_batch(video: Accessed, numbers: Sequence[int], format: str, size: Optional[Tuple[int, int]],
              device: int) -> Batch:
    wanted = _checked_numbers(numbers, sum(lengths(video)))
    items: Dict[int, npt.NDArray[np.uint8]] = {}
    times: Dict[int, float] = {}
    # Each picture crosses to the host as it comes: a large batch would
    # not fit in device memory.
    for number, item in _pictures(video, wanted, format, size, device):
        items[number], times[number] = _host_copy(video, item, format), item[0]
    missing = [n for n in wanted if n not in items]
    if missing:
        raise OSError(f"pictures {missing[:5]} of {video.source} did not decode")
    return _batch(items, times, wanted)


def _batch(items: Dict[int, npt.NDArray[np.uint8]], times: Dict[int, float], order: List[int]) -> Batch:
    if not order:
        return Batch(np.empty((0,), np.uint8), (), ())
    data = np.stack([items[n] for n in order])
    return Batch(data, tuple(order), tuple(times[n] for n in order))


def picture(video: Accessed, number: int) -> Frame:
    total = sum(lengths(video))
    (wanted,) = _checked_numbers([number], total)
    for _number_found, (pts, device_picture, name, local) in _pictures(video, [wanted], "rgb24", None, video.device):
        return Frame(0, pts, "rgb24", name, device_picture, video._memory, local)
    raise OSError(f"picture {wanted} of {video.source} did not decode")


def get_batch_at(video: Accessed, seconds: Sequence[float], format: str, size: Optional[Tuple[int, int]],
                 device: int) -> Batch:
    if len(video._parts) != 1:
        raise ValueError("get_batch_at takes times within one file: open the items of a list apart, or use "
                         "get_batch with numbers")
    if isinstance(seconds, (str, bytes)) or not hasattr(seconds, "__iter__"):
        raise TypeError(f"seconds must be a sequence of numbers, not {type(seconds).__name__}")
    times = []
    for value in seconds:
        if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
            raise ValueError(f"times must be finite numbers of seconds, not {value!r}")
        times.append(float(value))
    part = video._parts[0]
    if _is_url(part):
        raise TypeError(f"{part.name} is a network source: its pictures cannot be reached by time")
    shown: Dict[float, Numbered] = {}
    for item_time, item in _shown_at(part, sorted(set(times)), video._memory, _args(video, format, size, part),
                                     device):
        shown[item_time] = item
    missing = [t for t in times if t not in shown]
    if missing:
        raise IndexError(f"no picture of {video.source} is shown at {missing[0]} seconds")
    copies: Dict[int, npt.NDArray[np.uint8]] = {}
    stamps: Dict[int, float] = {}
    for item in shown.values():
        number = _number(item)
        if number not in copies:
            copies[number], stamps[number] = _host_copy(video, item, format), item[0]
    return _batch(copies, stamps, [_number(shown[t]) for t in times])


def _number(item: Numbered) -> int:
    if item[3] is None:  # only a network source's pictures have none, and it is refused before
        raise TypeError(f"the pictures of {item[2]} have no numbers")
    return item[3]


def _key_times(part: _Part) -> Optional[List[float]]:
    """The times of the random-access pictures a pass can start at, where
    the file's time stamps give them all."""
    numbers = part.key_numbers() if part.decoder == "card" else None
    index = getattr(part, "_index", None)
    if numbers is None or index is None or not getattr(part, "demuxer", None):
        return None
    num, den = part.demuxer.time_base  # type: ignore[attr-defined]
    stamps = dict(zip(index.key_ordinals.tolist(), index.key_pts.tolist()))
    times = []
    for ordinal in numbers.ordinals:
        stamp = stamps.get(ordinal, _NO_PTS)
        if stamp == _NO_PTS:
            return None
        times.append(stamp * num / den)
    return times if times == sorted(times) else None


def _shown_at(part: _Part, times: List[float], memory: Any, args: ConverterArgs, device: int
              ) -> Iterator[Tuple[float, Numbered]]:
    """(t, the picture shown at t) for the ascending `times`: the last
    picture whose pts is not after t. Where the random-access pictures'
    times are known, each t is looked for in the stretch whose
    random-access picture is the last one not after it."""
    key_times = _key_times(part)
    numbers = part.key_numbers()
    if key_times is None or numbers is None:
        groups: List[Tuple[Optional[int], List[float]]] = [(None, times)]
    else:
        by_place: Dict[int, List[float]] = {}
        for t in times:
            by_place.setdefault(max(0, bisect.bisect_right(key_times, t + 1e-9) - 1), []).append(t)
        groups = [(place, group) for place, group in by_place.items()]
    kept: Dict[int, int] = {}  # pictures handed out, by id: one shown at several times is given once
    for place, group in groups:
        if place is None or numbers is None:
            pictures = part.numbered_pictures(memory, args, device, None)
        else:
            pictures = run_pass(part, 0, numbers, place, place, memory, args, device)
        pending = list(group)
        previous: Optional[Numbered] = None
        try:
            for item in pictures:
                while pending and pending[0] < item[0] - 1e-9:
                    t = pending.pop(0)
                    if previous is not None and previous[0] <= t + 1e-9:  # else before the first picture
                        kept[id(previous)] = 1
                        yield t, previous
                if previous is not None and id(previous) not in kept:
                    give_back(memory, previous)
                previous = item
                if not pending:
                    break
            if previous is not None:
                while pending and previous[0] <= pending[0] + 1e-9:
                    kept[id(previous)] = 1
                    yield pending.pop(0), previous
        finally:
            close = getattr(pictures, "close", None)
            if close is not None:
                close()
