"""Random access to a video's pictures: its length, a picture by number,
and batches of pictures by number or by time as one array (`Batch`)."""
from __future__ import annotations

import bisect
import math
import operator
import queue
import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Optional, Protocol, Sequence, Set, Tuple

import numpy as np
import numpy.typing as npt

from .channel import _NO_PTS
from .frame import Frame
from .kinds import is_url
from .memory import _Memory
from .part import ConverterArgs, Numbered, _Part
from .sampling import Planned, display_times, give_back, plan, run_pass, taken
from .segments import Segment


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


# A pass of a batch: the numbers it gives as its item's own, the number in
# the video of its item's first picture, and the pass.
_Share = Tuple[Set[int], int, Planned]


def _planned(video: Accessed, numbers: List[int], format: str, size: Optional[Tuple[int, int]],
             borrow: bool = False) -> List[_Share]:
    """The passes that give the pictures of the video numbered `numbers`,
    each decoded once, in ascending order."""
    passes: List[_Share] = []
    first = 0
    for part_number, (part, length) in enumerate(zip(video._parts, lengths(video))):
        local = sorted({n - first for n in numbers if first <= n < first + length})
        own = set(local)
        args = (format, size, borrow, part.turn)
        passes += [(own, first, planned) for planned in plan(part, part_number, local, video._memory, args)]
        first += length
    return passes


def _spread(jobs: Sequence[Any], dies: Sequence[int], run: Callable[[Any, int, Callable[[], bool]], None]) -> None:
    """Runs `run(job, die, stopped)` for each of `jobs`, each die taking the
    next job as it finishes one; on one die, on the calling thread. The
    first error stops the others before their next job (a running one is
    asked through `stopped()`) and is raised once all have ended."""
    if len(dies) == 1 or len(jobs) < 2:
        for job in jobs:
            run(job, dies[0], lambda: False)
        return
    waiting: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
    for job in jobs:
        waiting.put(job)
    errors: List[BaseException] = []
    failed = threading.Event()

    def die_worker(die: int) -> None:
        while not failed.is_set():
            try:
                job = waiting.get_nowait()
            except queue.Empty:
                return
            try:
                run(job, die, failed.is_set)
            except BaseException as error:  # noqa: B902 - handed to the caller's thread
                errors.append(error)
                failed.set()

    # Each die's worker is joined here, whatever happens to the others.
    workers = [threading.Thread(target=die_worker, args=(die,), name=f"quillon-batch-die{die}", daemon=True)
               for die in dies[: len(jobs)]]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if errors:
        raise errors[0]


def get_batch(video: Accessed, numbers: Sequence[int], format: str, size: Optional[Tuple[int, int]],
              dies: Sequence[int]) -> Batch:
    wanted = _checked_numbers(numbers, sum(lengths(video)))
    items: Dict[int, npt.NDArray[np.uint8]] = {}
    times: Dict[int, float] = {}

    def run(job: _Share, die: int, stopped: Callable[[], bool]) -> None:
        own, first, planned = job
        # Each picture crosses to the host as it comes: a large batch would
        # not fit in device memory. Dict stores are atomic: the dies' workers
        # fill distinct numbers.
        for item in taken([planned], own, video._memory, die):
            items[first + _number(item)], times[first + _number(item)] = _host_copy(video, item, format), item[0]
            if stopped():
                break

    _spread(_planned(video, wanted, format, size), dies, run)
    missing = [n for n in wanted if n not in items]
    if missing:
        raise OSError(f"pictures {missing[:5]} of {video.source} did not decode")
    return _batch(items, times, wanted)


def numbered_pictures(video: Accessed, numbers: Sequence[int], format: str, size: Optional[Tuple[int, int]],
                      borrow: bool, device: int, segment: Optional[Segment]) -> Iterator[Numbered]:
    """The pictures numbered `numbers` (those within `segment`, if given),
    each once, in ascending order, for `frames(numbers=...)`; the numbers
    are checked at once."""
    wanted = sorted(set(_checked_numbers(numbers, sum(lengths(video)))))
    if segment is not None:
        low, high = segment_numbers(video, segment)
        wanted = wanted[bisect.bisect_left(wanted, low):bisect.bisect_left(wanted, high)]
    return _passes(video, _planned(video, wanted, format, size, borrow), device)


def _passes(video: Accessed, passes: List[_Share], device: int) -> Iterator[Numbered]:
    for own, _first, planned in passes:
        yield from taken([planned], own, video._memory, device)


def segment_numbers(video: Accessed, segment: Segment) -> Tuple[int, int]:
    """The numbers in the video (from `low` up to `high`) of the pictures a
    pass over `segment` gives as its own."""
    first = sum(lengths(video)[: segment.part])
    part = video._parts[segment.part]
    if part.container == "photos":
        return first + segment.first_packet, first + (segment.end_packet or segment.first_packet + 1)
    numbers = part.key_numbers()
    if numbers is None:  # a part of one segment
        return first, first + part_length(part)
    end = numbers.packets if segment.end_packet is None else numbers.number_of(segment.end_packet)
    return first + numbers.number_of(segment.first_packet), first + end


def sampled_numbers(video: Accessed, step: Optional[int], every: Optional[float], keyframes_only: bool
                    ) -> List[int]:
    """The numbers of the pictures `frames(step=, every=, keyframes_only=)`
    gives from the top: the key pictures or all, every `step`-th of them,
    and of those the one shown at each `every` seconds from the first."""
    candidates: Sequence[int] = key_pictures(video) if keyframes_only else range(sum(lengths(video)))
    if step is not None:
        candidates = candidates[::step]
    if every is None:
        return list(candidates)
    part = video._parts[0]
    times = display_times(part) if len(video._parts) == 1 else None
    if times is None:
        raise TypeError(f"the times of the pictures of {video.source} are not known without decoding them")
    chosen = np.asarray(candidates, np.int64)
    if len(chosen) < 2:
        return chosen.tolist()  # type: ignore[no-any-return]
    shown = times[chosen]
    end = shown[-1] + max(shown[-1] - shown[-2], 1e-9)  # the last one is shown as long as the one before it
    samples = shown[0] + np.arange(int((end - shown[0]) / every) + 2) * every
    samples = samples[samples < end - 1e-9]
    return sorted(set(chosen[np.searchsorted(shown, samples + 1e-9, side="right") - 1].tolist()))


def _batch(items: Dict[int, npt.NDArray[np.uint8]], times: Dict[int, float], order: List[int]) -> Batch:
    if not order:
        return Batch(np.empty((0,), np.uint8), (), ())
    data = np.stack([items[n] for n in order])
    return Batch(data, tuple(order), tuple(times[n] for n in order))


def picture(video: Accessed, number: int) -> Frame:
    total = sum(lengths(video))
    (wanted,) = _checked_numbers([number], total)
    for pts, device_picture, name, local in numbered_pictures(video, [wanted], "rgb24", None, False, video.device,
                                                              None):
        return Frame(0, pts, "rgb24", name, device_picture, video._memory, local)
    raise OSError(f"picture {wanted} of {video.source} did not decode")


def get_batch_at(video: Accessed, seconds: Sequence[float], format: str, size: Optional[Tuple[int, int]],
                 dies: Sequence[int]) -> Batch:
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
    known = display_times(part)
    if known is not None:
        # Every picture's time is in the index: the times are numbers, and
        # the batch decodes only what those need.
        numbers = np.searchsorted(known, np.asarray(times, np.float64) + 1e-9, side="right") - 1
        if (numbers < 0).any():
            raise IndexError(f"no picture of {video.source} is shown at {times[int(np.argmin(numbers))]} seconds")
        return get_batch(video, numbers.tolist(), format, size, dies)
    shown: Dict[float, Numbered] = {}
    for item_time, item in _shown_at(part, sorted(set(times)), video._memory, _args(video, format, size, part),
                                     dies[0]):
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
