"""Segments: pieces of a source that decode on their own, which pictures
coming out of a segment's decoder are its own, and where its pass ends."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Protocol, Sequence

import numpy as np
import numpy.typing as npt

from .._native import PacketIndex
from .channel import _NO_PTS


@dataclass(frozen=True)
class Segment:
    """A piece of a source that decodes on its own, as `Video.segments()`
    gives it.

    `source` is the file or URL (for photos, the photo's file), `part` its
    position in the list given to `quillon.open`, `number` the segment's
    place within the part (from 0). `first_packet` and `end_packet` are
    ordinals of the part's packets in decode order (for photos, of its
    files): the segment starts at the random-access point `first_packet` and
    ends before the random-access point `end_packet` (None: at the end of the
    part). `pictures` is the number of packets in it, None when unknown.
    """

    source: str
    part: int
    number: int
    first_packet: int
    end_packet: Optional[int]
    pictures: Optional[int]


class Schedule(Protocol):
    """What steers a pass of `Video.segment_frames` over segments of one
    part, as the main job's scheduler does."""

    def following(self) -> Optional[Segment]:
        """Asked as the decoder reaches the end of the segments it has: the
        segment to go on with (the one of the same part that starts where
        they end), or None to end there."""

    def widen(self) -> bool:
        """Asked as the pass starts and as it goes on into a segment that a
        new decoder can take over at: True, to decode from there on every
        processor."""

    def threads(self) -> Optional[int]:
        """Asked as the pass starts, when it does not widen: how many threads
        its decoder may use (1 to 64), or None to leave them to the host SDK
        (`QUILLON_DECODE_THREADS`, else the decoder's share of the
        processors). Optional: a schedule without it leaves them so."""



def _starts(index: PacketIndex) -> List[int]:
    """The key packets a segment can start at: those a demuxer can find
    again, by position or time stamp. A key packet with neither is a piece
    that libavformat's parser split off the packet before it (the real
    picture after a unit it took for one, in MPEG-TS): its picture comes out
    with that packet's ordinal."""
    return [key for key, position, pts, dts in zip(index.key_ordinals.tolist(), index.key_positions.tolist(),
                                                   index.key_pts.tolist(), index.key_dts.tolist())
            if position >= 0 or pts != _NO_PTS or dts != _NO_PTS]


def _begins_with_idr(codec: str, data: npt.NDArray[np.uint8]) -> bool:
    """Whether an access unit (Annex B) holds an IDR picture: its first coded
    slice's NAL unit type, found among the units that lead it."""
    head = data[:_NAL_SCAN].tobytes()
    position = head.find(b"\x00\x00\x01")
    while 0 <= position < len(head) - 3:
        header = head[position + 3]
        if codec == "h264" and 1 <= header & 0x1F <= 5:
            return header & 0x1F == 5
        if codec == "hevc" and (header >> 1) & 0x3F < 32:
            return (header >> 1) & 0x3F in (19, 20)
        position = head.find(b"\x00\x00\x01", position + 3)
    return False


# Bytes of an access unit searched for its first slice: past the parameter
# sets and messages that may lead it.
_NAL_SCAN = 1 << 16


class _PassEnd:
    """Where a pass over segments that end before packet `end` (None: at the
    part's end) stops sending packets. Past `end` it decodes the leading
    pictures of that random-access point, which come out before it: up to
    the last one (`through`) when the time stamps tell which they are, then
    the decoder is drained; else on until its picture comes out, never
    beyond the key packet after it (`limit`)."""

    def __init__(self, keys: Sequence[int], last_leading: Dict[int, int], end: Optional[int]) -> None:
        self.end = end
        self.limit = next((key for key in keys if end is not None and key > end), None)
        self.through = last_leading.get(end, -1) if end is not None else -1
        # Without leading pictures at `end`, the pass stops before it:
        # decoding the next segment's first picture (a key picture, the
        # costliest) would give nothing this segment owns.
        self.last_sent = end - 1 if end is not None and self.through == end else self.through
        # Whether the leading pictures of `end` are known (always at the part's end).
        self.known = end is None or self.through >= 0


class _Ownership:
    """Which pictures coming out of a segment's decoder are the segment's, by
    the decode ordinal each carries. Pictures before the one of the first
    packet are leading pictures of the random-access point the segment
    starts at: they belong to the segment before, which decodes them with
    their references. The picture of `end` is the next segment's first, and
    ends this one. Should the first packet's picture never come out (a
    damaged picture), pictures of packets from `later` on (shown after it)
    are the segment's all the same."""

    def __init__(self, first: int, end: Optional[int], later: Optional[int]) -> None:
        self.first, self.end, self.later = first, end, later
        self.started = first == 0
        self.done = False

    def owns(self, ordinal: Optional[int]) -> bool:
        if self.done:
            return False
        if ordinal is not None and ordinal == self.end:
            self.done = True
            return False
        if not self.started and ordinal is not None:
            self.started = ordinal == self.first or (self.later is not None and ordinal >= self.later)
        return self.started


class _OrdinalOwnership(_Ownership):
    """Ownership by decode ordinal alone: the segment's pictures are its first
    packet's, those after the first packet's leading pictures up to `end`,
    and `end`'s own leading pictures (up to `end_lead`), which it decodes
    with their references."""

    def __init__(self, first: int, lead: int, end: Optional[int], end_lead: int) -> None:
        super().__init__(first, end, None)
        self.lead, self.end_lead = lead, end_lead

    def owns(self, ordinal: Optional[int]) -> bool:
        if ordinal is None:
            return False
        return (ordinal == self.first or (self.lead < ordinal and (self.end is None or ordinal < self.end))
                or (self.end is not None and self.end < ordinal <= self.end_lead))
