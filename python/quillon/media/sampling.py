"""Which pictures a pass gives: the pictures wanted by number, found by
passes over the stretches between random-access points that hold them
(the others are not read), and the samples of `frames(step=, every=,
keyframes_only=)` taken from a pass's pictures."""
from __future__ import annotations

import functools
import itertools
import math

import numpy as np
import numpy.typing as npt
from typing import Any, Callable, Iterator, List, Optional, Sequence, Set, Tuple

from .channel import _NO_PTS, _frame_pts
from .convert import _Converter
from .memory import _Memory
from .numbering import KeyNumbers
from .part import ConverterArgs, Numbered, _Clock, _Part
from .segments import Segment, _begins_with_idr


class _Onwards:
    """The schedule of a pass over neighbouring stretches: it goes on into
    each of `following` in turn, never widening."""

    def __init__(self, following: List[Segment]) -> None:
        self._following = following

    def following(self) -> Optional[Segment]:
        return self._following.pop(0) if self._following else None

    def widen(self) -> bool:
        return False


def stretch(part: _Part, number: int, numbers: KeyNumbers, place: int) -> Segment:
    """The stretch `place` of `part` (number `number` in its list) as a segment."""
    return Segment(part.name, number, place, numbers.ordinals[place], numbers.end(place), None)


def run_pass(part: _Part, part_number: int, numbers: KeyNumbers, first: int, last: int, memory: _Memory,
             args: ConverterArgs, device: int, wanted: Optional[Set[int]] = None) -> Iterator[Numbered]:
    """One pass over the stretches `first` to `last` of `part`: it seeks to
    the first's random-access point and goes on through the others without
    starting its decoder afresh. Given the pictures `wanted` of one
    stretch, the decoder is not given the pictures no other picture refers
    to that are not wanted, where the file's time stamps number them."""
    if wanted is not None and first == last and numbers.by_ordinal is not None:
        return part.numbered_segment_pictures(memory, args, device, stretch(part, part_number, numbers, first),
                                              None, wanted)
    following = [stretch(part, part_number, numbers, place) for place in range(first + 1, last + 1)]
    return part.numbered_segment_pictures(memory, args, device, stretch(part, part_number, numbers, first),
                                          _Onwards(following))


def display_times(part: Any) -> Optional[npt.NDArray[np.float64]]:
    """Every picture's time in seconds by its number, from the packet index
    of a file whose time stamps number every picture (see `KeyNumbers`);
    None for other parts."""
    numbers = part.key_numbers() if part.decoder == "card" else None
    if numbers is None or numbers.by_ordinal is None:
        return None
    num, den = part.demuxer.time_base
    return np.sort(part.index().pts) * num / den  # type: ignore[no-any-return]


def give_back(memory: _Memory, item: Numbered) -> None:
    """Returns the device memory of a picture not handed on (a picture
    that was only numbered has none)."""
    picture = item[1]
    if picture is not None and not picture.borrowed:
        memory.give(picture.nbytes, picture.address)


def _key_pictures(part: Any, part_number: int, numbers: KeyNumbers, places: List[int], memory: _Memory,
                  args: ConverterArgs, device: int) -> Iterator[Numbered]:
    """The random-access pictures of stretches `places`, in order. The IDR
    ones, and HEVC CRA ones made BLA ones, go to one decoder one after
    another, each packet alone (with the parameter sets the demuxer puts
    before it after a seek): each decodes on its own, the decoder gives out
    the pictures before each first, and its threads work on several at
    once. Another kind (an H.264 recovery point, which libavcodec may hold
    back at the end of a stream) gets a pass of its own, after the decoder
    has given out those before it."""
    demuxer, _fresh = part._take()
    num, den = demuxer.time_base
    index = part.index()
    converter = _Converter(memory, device, args[0], args[1], False, args[3], bt709=demuxer.bt709)
    channel = part._channel(device)
    stamps: List[Optional[int]] = []  # the container's time stamp of each packet sent, by its place in `places`

    def picture(frame: Any) -> Numbered:
        # The decoder carries the packet's place in `places` to its picture.
        position = _frame_pts(frame) or 0
        place = places[position]
        pts = _Clock(num, den, part.rate, origin=numbers.ordinals[place]).seconds(stamps[position])
        return (pts, converter.convert(frame.data[0], "nv12", frame.width, frame.height, frame.stride[0]), part.name,
                numbers.numbers[place])

    try:
        for position, place in enumerate(places):
            demuxer.seek_packet(index, numbers.ordinals[place])
            packet = demuxer.read()
            data, stamp, _key = packet if packet is not None else (None, None, False)
            stamps.append(None if stamp is None or stamp == _NO_PTS else stamp)
            alone = data if data is not None and _begins_with_idr(part.codec, data) else None
            if alone is None and data is not None and part.codec == "hevc":
                alone = _as_broken_link(data)
            if alone is not None:
                for frame in channel.send(alone, position):
                    yield picture(frame)
                continue
            for frame in channel.finish():
                yield picture(frame)
            if not channel.recycle():
                channel.close()
                channel = part._channel(device)
            yield from run_pass(part, part_number, numbers, place, place, memory, args, device,
                                {numbers.numbers[place]})
        for frame in channel.finish():
            yield picture(frame)
    finally:
        converter.close()
        part._idle_channel(device, channel)
        part._give_back(demuxer)


_CRA, _BLA_W_LP = 21, 16  # HEVC NAL unit types


def _as_broken_link(data: npt.NDArray[np.uint8]) -> Optional[npt.NDArray[np.uint8]]:
    """An HEVC access unit (Annex B) of a CRA picture as a BLA one, as a
    splicer makes it: decoded as the first picture of a stream (a CRA
    picture's order after the one before would be taken from the stream,
    and its leading pictures decoded), with the same pixels. None for other
    pictures, and for a CRA picture whose header asks that the pictures
    before it be dropped (which only a BLA one would do)."""
    units = data.tobytes()
    changed: Optional[npt.NDArray[np.uint8]] = None
    position = units.find(b"\x00\x00\x01")
    while 0 <= position < len(units) - 5:
        header = units[position + 3]
        kind = (header >> 1) & 0x3F
        if kind < 32 and kind != _CRA:
            return None
        if kind == _CRA:
            # The byte after the two-byte header starts the slice header:
            # first_slice_segment_in_pic_flag, no_output_of_prior_pics_flag.
            if units[position + 5] & 0x40:
                return None
            if changed is None:
                changed = data.copy()
            changed[position + 3] = _BLA_W_LP << 1 | (header & 0x81)
        position = units.find(b"\x00\x00\x01", position + 3)
    return changed


# A pass to run on a die, and the number of the last picture it gives.
Planned = Tuple[Callable[[int], Iterator[Numbered]], int]


def plan(part: _Part, part_number: int, wanted: Sequence[int], memory: _Memory, args: ConverterArgs
         ) -> List[Planned]:
    """The passes that give the pictures numbered `wanted` (ascending,
    without repeats) of one part, in order, each runnable on any die. In a
    file with a packet index only the stretches between random-access
    points that hold them are decoded, each by a pass of its own that ends
    at its last wanted picture; other parts are decoded from the top up to
    the last one wanted."""
    if not wanted:
        return []
    numbers = part.key_numbers() if part.decoder == "card" else None
    if part.container == "photos":  # a photo is a segment of its own
        segments = part.segments(part_number, 1)
        return [(functools.partial(_photo_pass, part, memory, args, segments[n]), n) for n in wanted]
    if numbers is None:
        return [(functools.partial(part.numbered_pictures, memory, args, start=None), wanted[-1])]
    passes: List[Planned] = []
    alone: List[int] = []  # neighbouring stretches whose random-access picture is wanted alone

    def keys_so_far() -> None:
        if alone:
            passes.append((functools.partial(_key_pictures, part, part_number, numbers, list(alone), memory, args),
                           numbers.numbers[alone[-1]]))
            alone.clear()

    # The wanted numbers by stretch, ascending both.
    for place, group in itertools.groupby(wanted, key=numbers.stretch):
        own = list(group)
        if own == [numbers.numbers[place]]:
            # A random-access picture wanted alone in its stretch needs no
            # other packet.
            alone.append(place)
            continue
        keys_so_far()
        # A pass ends at the last picture wanted before the next
        # random-access point: the next one wanted past it is reached by a
        # seek, not by decoding what lies between.
        passes.append((functools.partial(_stretch_pass, part, part_number, numbers, place, memory, args, set(own)),
                       own[-1]))
    keys_so_far()
    return passes


def _photo_pass(part: _Part, memory: _Memory, args: ConverterArgs, segment: Segment, device: int
                ) -> Iterator[Numbered]:
    return part.numbered_segment_pictures(memory, args, device, segment)


def _stretch_pass(part: _Part, part_number: int, numbers: KeyNumbers, place: int, memory: _Memory,
                  args: ConverterArgs, keep: Set[int], device: int) -> Iterator[Numbered]:
    return run_pass(part, part_number, numbers, place, place, memory, args, device, keep)


def taken(passes: Sequence[Planned], wanted: Set[int], memory: _Memory, device: int,
          stop: Optional[Callable[[], bool]] = None) -> Iterator[Numbered]:
    """The wanted pictures of `passes`, run one after the other on `device`;
    the others' memory goes back. `stop()` True ends it before the next pass."""
    for make, last in passes:
        if stop is not None and stop():
            return
        pictures = make(device)
        try:
            for item in pictures:
                if item[3] in wanted:
                    yield item
                else:
                    give_back(memory, item)
                if item[3] is not None and item[3] >= last:
                    break
        finally:
            close = getattr(pictures, "close", None)
            if close is not None:
                close()


def wanted_pictures(part: _Part, part_number: int, wanted: Sequence[int], memory: _Memory, args: ConverterArgs,
                    device: int) -> Iterator[Numbered]:
    """The pictures numbered `wanted` (ascending, without repeats) of one
    part, in that order, decoded on `device` as `plan` says."""
    yield from taken(plan(part, part_number, wanted, memory, args), set(wanted), memory, device)


def sampled(items: Iterator[Numbered], memory: _Memory, keep: Callable[[int, Numbered], bool]
            ) -> Iterator[Numbered]:
    """The items `keep(position, item)` accepts; the others' memory goes back."""
    for position, item in enumerate(items):
        if keep(position, item):
            yield item
        else:
            give_back(memory, item)


def shown_at(items: Iterator[Numbered], memory: _Memory, every: float, first: Optional[float]
             ) -> Iterator[Numbered]:
    """For t = first (None: the first picture's time), first + every, ...:
    the picture shown at t, the last one whose pts is not after it, each at
    most once. A picture is known to be shown at t once the next one comes
    after t; the last one is shown for as long as the one before it was."""
    previous: Optional[Numbered] = None
    count, origin, gap = 0, first, 0.0

    def time() -> float:
        assert origin is not None
        return origin + count * every

    for item in items:
        if origin is None:
            origin = item[0]
        if previous is not None:
            gap = item[0] - previous[0]
            while time() < previous[0] - 1e-9:
                count += 1
            if time() < item[0] - 1e-9:
                yield previous
                while time() < item[0] - 1e-9:
                    count += 1
            else:
                give_back(memory, previous)
        previous = item
    if previous is not None:
        while time() < previous[0] - 1e-9:
            count += 1
        if time() < previous[0] + max(gap, 1e-9) - 1e-9:
            yield previous
        else:
            give_back(memory, previous)


# What `frames()` samples: (step, every, keyframes_only).
_Sampling = Tuple[Optional[int], Optional[float], bool]


def checked_sampling(step: Optional[int], every: Optional[float], keyframes_only: bool) -> Optional[_Sampling]:
    """What `frames()` samples, None for every picture."""
    if step is not None and (not isinstance(step, int) or isinstance(step, bool) or step < 1):
        raise ValueError(f"step must be a positive int, not {step!r}")
    if every is not None and (not isinstance(every, (int, float)) or isinstance(every, bool)
                              or not math.isfinite(every) or every <= 0):
        raise ValueError(f"every must be a positive number of seconds, not {every!r}")
    if not isinstance(keyframes_only, bool):
        raise TypeError(f"keyframes_only must be True or False, not {type(keyframes_only).__name__}")
    if step is None and every is None and not keyframes_only:
        return None
    return step, None if every is None else float(every), keyframes_only
