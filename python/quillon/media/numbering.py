"""Pictures' places in their file, from the packet index: the number of
each random-access picture, and which stretch of packets holds a number."""
from __future__ import annotations

import bisect
from typing import Iterable, List, Optional, Set

import numpy as np
import numpy.typing as npt

from .._native import PacketIndex
from .channel import _NO_PTS
from .segments import _starts


class KeyNumbers:
    """The random-access points a pass can start at (`ordinals`, packet
    ordinals in decode order) and the display number of each one's picture
    (`numbers`): the pictures shown before it are every packet before it
    in decode order and its leading pictures, the packets after it that
    are shown before it (known where the index has time stamps: up to its
    last leading picture). Leading pictures follow their random-access
    point in decode order, as HEVC requires of them. A picture that does
    not decode keeps its number: numbers are places in the file."""

    def __init__(self, index: PacketIndex) -> None:
        self.packets = int(index.packets)
        last_leading = dict(zip(index.key_ordinals.tolist(), index.key_last_leading.tolist()))
        self.ordinals: List[int] = _starts(index) or [0]
        if self.ordinals[0] != 0:
            # Packets before the first key packet are sent by a pass from the
            # top: the stretch from 0 starts there.
            self.ordinals.insert(0, 0)
        # Without time stamps, HEVC's leading pictures are known by their
        # kind (H.264's are not: an open group in a raw H.264 stream is
        # numbered as if it had none).
        marked = dict(zip(index.key_ordinals.tolist(), index.key_leading.tolist()))
        self.numbers: List[int] = [max(key, last_leading.get(key, key), key + marked.get(key, 0))
                                   for key in self.ordinals]
        # The numbers of the random-access pictures themselves.
        self.key_pictures: List[int] = [number for key, number in zip(self.ordinals, self.numbers)
                                        if key in last_leading]

        self.by_ordinal = _by_ordinal(index, self)
        self._by_number: Optional[npt.NDArray[np.int64]] = None
        self.unreferenced = index.unreferenced
        self._references = index.references

    def needed(self, ordinals: Iterable[int]) -> Optional[Set[int]]:
        """The packets (ordinals) the pictures of packets `ordinals` need
        decoded: themselves, the pictures they predict from, and so on;
        None where the stream does not say (see `PacketIndex.references`)."""
        if self._references is None:
            return None
        offsets, references = self._references
        needed: Set[int] = set()
        waiting = list(ordinals)
        while waiting:
            ordinal = waiting.pop()
            if ordinal not in needed:
                needed.add(ordinal)
                waiting.extend(references[offsets[ordinal]:offsets[ordinal + 1]].tolist())
        return needed

    def ordinal_of(self, number: int) -> int:
        """The packet (decode ordinal) of picture `number`, where the time
        stamps number every picture (`by_ordinal`)."""
        if self._by_number is None:
            assert self.by_ordinal is not None
            by_number = np.empty_like(self.by_ordinal)
            by_number[self.by_ordinal] = np.arange(len(self.by_ordinal))
            self._by_number = by_number
        return int(self._by_number[number])

    def number_of(self, ordinal: int) -> int:
        """The number of the picture of the random-access point at `ordinal`."""
        return self.numbers[self.ordinals.index(ordinal)]

    def stretch(self, number: int) -> int:
        """The stretch (between neighbouring random-access points) whose pass
        gives picture `number`: its own pictures are shown from its first
        one's number up to the next one's."""
        return max(0, bisect.bisect_right(self.numbers, number) - 1)

    def end(self, stretch: int) -> Optional[int]:
        """The ordinal of the random-access point after `stretch`, None at the end."""
        return self.ordinals[stretch + 1] if stretch + 1 < len(self.ordinals) else None


def _by_ordinal(index: PacketIndex, numbers: KeyNumbers) -> Optional[npt.NDArray[np.int64]]:
    """Every packet's picture number, by ordinal, where the container's time
    stamps give display order: all present and distinct, not all increasing
    in decode order unless the stream is shown in decode order (a container
    that keeps no reordering may hold the decoding times as presentation
    times, which the decoder's order then belies), and agreeing with the
    random-access pictures' numbers; else None."""
    stamps = index.pts
    if len(stamps) == 0 or (stamps == _NO_PTS).any():
        return None
    if bool((np.diff(stamps) > 0).all()):
        if index.reorder != 0:
            return None  # decoding times kept as presentation times
        by_ordinal = np.arange(len(stamps), dtype=np.int64)  # a stream shown in decode order
    else:
        order = np.argsort(stamps, kind="stable")
        if (np.diff(stamps[order]) == 0).any():
            return None
        by_ordinal = np.empty(len(stamps), np.int64)
        by_ordinal[order] = np.arange(len(stamps))
    if any(int(by_ordinal[key]) != number for key, number in zip(numbers.ordinals, numbers.numbers)):
        return None
    return by_ordinal
