"""The pass over a segment of a video the card decodes, and over the
segments its schedule gives on: the packets it sends, the pictures it keeps,
the decoders it uses."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Protocol, Set, Tuple

from ..errors import check
from .channel import _DRAIN_WAIT_MS, _RUN_WAIT_MS, _TIMEOUT, _Channel, _frame_pts
from .convert import _Converter
from .memory import PictureBlock, _Memory
from .part import ConverterArgs, _Clock
from .segments import Segment, _begins_with_idr, _OrdinalOwnership, _Ownership, _PassEnd

if TYPE_CHECKING:
    from .._native import Demuxer
    from .segments import Schedule

# (pts in seconds, picture, file or URL). The picture is None where the pass
# was told not to convert it (`SegmentPass.converts`): such an item is only
# numbered, and goes back unused.
Picture = Tuple[float, PictureBlock, str]


class PassSource(Protocol):
    """What a pass takes from the container it decodes: the source's name,
    codec and frame rate, its demuxers and decoder channels on loan, and
    the check of a segment its schedule gives."""

    name: str
    codec: str
    rate: Optional[Tuple[int, int]]

    def _take(self) -> Tuple["Demuxer", bool]: ...

    def _give_back(self, demuxer: "Demuxer") -> None: ...

    def _channel(self, device: int, wide: bool = False, threads: Optional[int] = None) -> _Channel: ...

    def _idle_channel(self, device: int, channel: _Channel) -> None: ...

    def check_segment(self, segment: Segment) -> None: ...


class SegmentPass:
    """One pass from `segment`'s first packet. With a `schedule`, it asks
    `schedule.following()` as the decoder reaches the end of its segments
    for the next one to go on into, and `schedule.widen()` as it starts and
    as it goes on whether to decode on every processor from there (see
    `Video.segment_frames`). A segment that cannot go on in this pass (its
    end would change how pictures are owned) is left in `apart`, for a
    pass of its own after."""

    def __init__(self, container: PassSource, index: Any, segment: Segment, schedule: Optional["Schedule"]) -> None:
        self.container, self.index, self.segment, self.schedule = container, index, segment, schedule
        self.keys: List[int] = index.key_ordinals.tolist()
        self.last_leading = dict(zip(self.keys, index.key_last_leading.tolist()))
        self.first = first = segment.first_packet
        self.stop = _PassEnd(self.keys, self.last_leading, segment.end_packet)
        # Packets from here on are shown after the first packet's picture.
        self.lead = lead = self.last_leading.get(first, -1)
        self.shown_after = lead + 1 if lead >= 0 else next((key for key in self.keys if key > first), None)
        # With time stamps every packet's owner is known from the index, so
        # that two passes agree on each picture whatever their decoders drop;
        # without them, the order pictures come out in decides.
        self.known = lead >= 0 and self.stop.known
        self.ownership: _Ownership = (_OrdinalOwnership(first, lead, self.stop.end, self.stop.through) if self.known
                                      else _Ownership(first, self.stop.end, self.shown_after))
        self.apart: List[Segment] = []
        self.yielded: Set[int] = set()  # the ordinals of the pictures given
        self.skip: Optional[Set[int]] = None  # ordinals not to give again (a pass decoding again)
        # The decoder carries each packet's ordinal to its picture in place
        # of the time stamp; the container's stamps wait here.
        self.stamps: Dict[int, Optional[int]] = {}
        # Which packets the decoder is given, by ordinal (None: all): a pass
        # for some pictures leaves out those no other picture refers to.
        self.sends: Optional[Callable[[int], bool]] = None
        # Which decoded pictures are converted, by ordinal (None: all): the
        # others are only numbered, and come with no picture.
        self.converts: Optional[Callable[[int], bool]] = None
        # The last packet the decoder needs (None: as the pass's end says):
        # past it the stream is ended, so that the decoder gives out what it
        # holds without decoding what nobody wants. An H.264 pass that starts
        # at a recovery point ignores it (libavcodec holds back the last
        # pictures of such a stream).
        self.send_until: Optional[int] = None
        self.cut = False  # the pass ended at `send_until`: the pictures after it are not missing
        self.channel: Optional[_Channel] = None
        # The decoder a pass that widened left: it finishes its stream while
        # the wide one starts on the next, and gives its last pictures first.
        self.finishing: Optional[_Channel] = None

    def pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int) -> Iterator[Picture]:
        """(pts in seconds, picture, file or URL) of the pass, in display order."""
        container = self.container
        # A demuxer per pass, so that segments of one clip decode at once.
        demuxer, fresh = container._take()
        num, den = demuxer.time_base
        self.device = device
        self.clock = _Clock(num, den, container.rate, origin=self.first)
        self.converter = _Converter(memory, device, *converter_args, bt709=demuxer.bt709)
        try:
            yield from self._decode_from(demuxer, fresh, self.first, grow=self.schedule is not None)
            # libavcodec drops the pictures still waiting in an H.264 decoder
            # at the end of the stream when decoding began at a recovery
            # point a few pictures before: a last segment short of pictures
            # is decoded again from an earlier random-access point, for the
            # missing ones only (the last ones shown).
            earlier = [key for key in self.keys if key < self.first]
            shown_after = self.shown_after
            expected = self.index.packets - (shown_after if self.lead >= 0 and shown_after is not None
                                             else self.first)
            while not self.cut and self.stop.end is None and earlier and len(self.yielded) < expected:
                self.ownership = (_OrdinalOwnership(self.first, self.lead, None, -1) if self.known
                                  else _Ownership(self.first, None, shown_after))
                self.stop = _PassEnd(self.keys, self.last_leading, None)
                self.skip = set(self.yielded)
                yield from self._decode_from(demuxer, False, earlier.pop(), grow=False)
        finally:
            self.converter.close()
            container._give_back(demuxer)

    def _grow(self) -> Optional[_PassEnd]:
        """The pass's new end when the schedule gives the next segment, as if
        the pass had been asked for both at once: nothing past the old end
        has been sent, so every picture goes where it would have."""
        assert self.schedule is not None
        after = self.schedule.following()
        if after is None:
            return None
        stop, segment = self.stop, self.segment
        if not isinstance(after, Segment) or after.part != segment.part or after.first_packet != stop.end:
            raise ValueError(f"{after!r} does not follow the segments of this pass, which end at packet "
                             f"{stop.end} of part {segment.part}")
        self.container.check_segment(after)
        wider = _PassEnd(self.keys, self.last_leading, after.end_packet)
        if (self.lead >= 0 and wider.known) != self.known:
            self.apart.append(after)
            return None
        self.stop = wider
        self.ownership.end = wider.end
        if isinstance(self.ownership, _OrdinalOwnership):
            self.ownership.end_lead = wider.through
        return wider

    def _widen(self) -> bool:
        return self.schedule is not None and bool(self.schedule.widen())

    def _threads(self) -> Optional[int]:
        """The decoder threads the schedule asks for a pass that does not widen (None: the host SDK's)."""
        threads = getattr(self.schedule, "threads", None)
        return threads() if callable(threads) else None

    def _own(self, frame: Any) -> Optional[Picture]:
        """The segment's picture in `frame`, or None when it is not the segment's."""
        ordinal = _frame_pts(frame)
        stamp = self.stamps.pop(ordinal, None) if ordinal is not None else None
        if not self.ownership.owns(ordinal) or (self.skip is not None and ordinal in self.skip):
            return None
        picture: Any = (None if self.converts is not None and ordinal is not None and not self.converts(ordinal)
                        else self.converter.convert(frame.data[0], "nv12", frame.width, frame.height,
                                                    frame.stride[0]))
        if ordinal is not None:
            self.yielded.add(ordinal)
        return self.clock.seconds(stamp), picture, self.container.name

    def _finished(self) -> Iterator[Picture]:
        """The pictures left in the decoder a widened pass left."""
        if self.finishing is not None:
            for frame in self.finishing.receive(_DRAIN_WAIT_MS, draining=True):
                if (item := self._own(frame)) is not None:
                    yield item
            leaving, self.finishing = self.finishing, None
            self.container._idle_channel(self.device, leaving)

    def _decode_from(self, demuxer: Any, fresh: bool, first: int, grow: bool) -> Iterator[Picture]:
        """One decoder pass from packet `first`, yielding the pictures the
        ownership gives the segment, but those skipped, and sending packets
        as the pass's end says; with `grow`, the schedule is asked for more
        as the pass reaches that end."""
        container, device, ownership = self.container, self.device, self.ownership
        own = self._own
        try:
            if first > 0 or not fresh:
                demuxer.seek_packet(self.index, first)
            channel = self.channel = container._channel(device, wide=self._widen(), threads=self._threads())
            stamps, stop = self.stamps, self.stop
            ordinal = first
            failure: Optional[OSError] = None
            while True:
                # Where the pass goes on into a segment, a new decoder may
                # take over when no picture before its key packet in display
                # order comes after it, and the key picture is an IDR one
                # (libavcodec holds back the last pictures of a stream begun
                # at another kind of random-access point).
                afresh = False
                if grow and ordinal == stop.end:
                    clean = stop.through == stop.end
                    stop = self._grow() or stop
                    afresh = clean and stop.end != ordinal and not channel.wide
                if ownership.done or (stop.limit is not None and ordinal >= stop.limit) or (
                        stop.last_sent >= 0 and ordinal > stop.last_sent):
                    break
                if self.send_until is not None and ordinal > self.send_until:
                    self.cut = True
                    break
                try:
                    packet = demuxer.read()
                except OSError as error:  # the pictures in the decoder come out first
                    failure = error
                    break
                if packet is None:
                    break
                data, stamps[ordinal], _key = packet
                if (self.send_until is not None and ordinal == first and container.codec == "h264"
                        and not _begins_with_idr("h264", data)):
                    self.send_until = None
                if self.sends is not None and not self.sends(ordinal):
                    del stamps[ordinal]
                    self.yielded.add(ordinal)  # not missing: left out
                    ordinal += 1
                    continue
                if afresh and _begins_with_idr(container.codec, data) and self._widen():
                    yield from self._finished()
                    for frame in channel.send(None, 0):  # the end of its stream, its pictures kept coming
                        if (item := own(frame)) is not None:
                            yield item
                    self.finishing, channel = channel, container._channel(device, wide=True)
                    self.channel = channel
                # Loops rather than generators a packet: this runs at every picture.
                code = channel.offer(data, ordinal)
                while code == _TIMEOUT:
                    if self.finishing is not None:  # the wide decoder has its input: the one before gives its last
                        yield from self._finished()
                    for frame in channel.receive(_RUN_WAIT_MS):
                        if (item := own(frame)) is not None:
                            yield item
                    code = channel.offer()
                check(code, "kyme", "sending a packet to the decoder")
                ordinal += 1
            yield from self._finished()
            if not ownership.done:
                for frame in channel.finish():
                    if (item := own(frame)) is not None:
                        yield item
            if failure is not None:
                raise failure
        finally:
            for left in (self.finishing, self.channel):
                if left is not None:
                    container._idle_channel(device, left)
            self.finishing = self.channel = None
