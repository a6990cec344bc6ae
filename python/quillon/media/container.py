"""A container file or URL, demuxed by libavformat in the native helper:
decoded on the card (H.264, HEVC) or on the host (other codecs)."""
from __future__ import annotations

import collections
import logging
import threading
import time
from dataclasses import replace
from typing import TYPE_CHECKING, Any, Dict, Generator, Iterator, List, Optional, Set, Tuple

from _quillon_pybind11 import kycm, kyme

from .._native import Demuxer, HostDecoder, PacketIndex
from .._pictures import PICTURE_FORMATS
from ..errors import check
from .channel import _NO_PTS, _Channel, _frame_pts, _threads_setting
from .convert import _Converter
from .indexes import _INDEXES, _file_identity
from .kinds import is_url, without_password
from .memory import PictureBlock, _Memory
from .numbering import KeyNumbers
from .part import ConverterArgs, Numbered, _Clock, _Part
from .passes import SegmentPass
from .segments import Segment, _starts

if TYPE_CHECKING:
    from .segments import Schedule

# Codecs the card decodes, with the coded formats its video decoder takes.
CARD_VIDEO = {"h264": kyme.codecType.KYME_CODEC_DEC_H264, "hevc": kyme.codecType.KYME_CODEC_DEC_HEVC}
CARD_PIXELS = ("yuv420p", "yuvj420p", "yuv420p10le", "nv12", "gray")
_log = logging.getLogger("quillon")
_WARNED: Set[str] = set()  # sources whose host decoding was announced
_WARNED_LOCK = threading.Lock()  # guards _WARNED: sources are opened from threads of their own


def _first_warning(name: str) -> bool:
    """Whether the host decoding of `name` is yet to be announced (it is
    from now on)."""
    with _WARNED_LOCK:
        if name in _WARNED:
            return False
        _WARNED.add(name)
        return True


class _Container(_Part):
    def __init__(self, name: str, timeout: float = 10.0, options: Optional[Dict[str, Any]] = None) -> None:
        self.name = name
        self.shown = without_password(name)  # what messages say
        self._opening = (timeout, options)  # each demuxer of the source is opened with these
        self.received = 0.0  # UNIX time of the last packet read: when a live picture arrived
        self.demuxer = Demuxer(name, timeout, options)
        self.container = self.demuxer.format_name
        rate = self.demuxer.fps
        self.rate: Optional[Tuple[int, int]] = None if rate is None else (int(rate[0]), int(rate[1]))
        self.codec = self.demuxer.codec
        self.width, self.height = self.demuxer.width, self.demuxer.height
        self.fps = None if self.rate is None else self.rate[0] / self.rate[1]
        self.duration = self.demuxer.duration
        self.frame_count = self.demuxer.frame_count
        on_card = (self.codec in CARD_VIDEO and self.demuxer.pixel_format in CARD_PIXELS
                   and 128 <= self.width <= 4096 and 128 <= self.height <= 4096)
        self.decoder = "card" if on_card else "host"
        if not on_card and _first_warning(name):  # once a source: a program may open it many times
            _log.warning("%s: the card does not decode %s (%s, %dx%d); decoding it on the host", self.shown, self.codec,
                         self.demuxer.pixel_format, self.width, self.height)
        self._index: Optional[PacketIndex] = None
        self._numbers: Optional[KeyNumbers] = None
        self._by_time: Optional[Dict[float, int]] = None
        self._unindexed = False  # reading every packet failed: a damaged file is one segment
        # Every pass reads with a demuxer of its own: the one opened here
        # while it is unread, then those of finished passes, repositioned
        # rather than the source opened again.
        self._unread: List[Demuxer] = [self.demuxer]
        self._spare: List[Demuxer] = []
        # Decoder channels of finished segment passes, by die and threads setting, for the next.
        self._idle: Dict[Tuple[int, int], List[_Channel]] = collections.defaultdict(list)
        self._closed = False
        self._lock = threading.Lock()

    def _live(self) -> bool:
        """Whether the source may give its packets as they happen (a URL):
        its pictures are then handed on one by one."""
        return is_url(self.name)

    def _divisible(self) -> bool:
        # A network source is not read twice (a live one never ends), and the
        # host decoder's passes run over the whole part.
        return self.decoder == "card" and not is_url(self.name) and not self._unindexed

    def _indexed(self) -> Optional[PacketIndex]:
        """The index of a part cut into segments; None for a part that is one
        segment, such as a file whose packets cannot all be read (a cut or
        damaged one): its one pass gives what can be decoded, then fails."""
        if not self._divisible():
            return None
        try:
            return self.index()
        except OSError:
            self._unindexed = True
            return None

    def check_start(self, start: float) -> None:
        # Seeking counts microseconds and time stamps in 64 bits.
        num, den = self.demuxer.time_base
        if start * max(den / num, 1e6) >= 2.0**62:
            raise ValueError(f"start must be within the time stamps of {self.shown}, not {start!r} seconds")

    def index(self) -> PacketIndex:
        """The key packets, found once by reading every packet with a demuxer
        of its own, or known from an earlier opening of the same file."""
        with self._lock:
            if self._index is not None:
                return self._index
        identity = _file_identity(self.name)
        index = _INDEXES.recall(self.name, identity)
        if index is None:
            demuxer = Demuxer(self.name, *self._opening)
            try:
                index = demuxer.index()
            finally:
                self._give_back(demuxer)
            _INDEXES.keep(self.name, identity, index)
        with self._lock:
            self._index = self._index or index
            return self._index

    def _take(self) -> Tuple[Demuxer, bool]:
        """A demuxer of this source for one pass, and whether it is unread.
        Passes of one video advanced in turn, or from threads of their own,
        read apart; a network source is read by one pass at a time."""
        with self._lock:
            if self._unread:
                return self._unread.pop(), True
            if self._spare:
                return self._spare.pop(), False
        if is_url(self.name):
            raise ValueError(f"{self.shown} is being read by another frames() pass: a network source is read by "
                             "one pass at a time")
        return Demuxer(self.name, *self._opening), True

    def _channel(self, device: int, wide: bool = False, threads: Optional[int] = None) -> "_Channel":
        setting = _threads_setting(wide, threads)
        with self._lock:
            if self._idle[device, setting]:
                return self._idle[device, setting].pop()
        return _Channel(CARD_VIDEO[self.codec], device, PICTURE_FORMATS["nv12"].decoder_format, eager=False, wide=wide,
                        threads=threads)

    def _idle_channel(self, device: int, channel: "_Channel") -> None:
        if channel.recycle():
            with self._lock:
                if not self._closed:
                    self._idle[device, channel.setting].append(channel)
                    return
        channel.close()

    def _give_back(self, demuxer: Demuxer) -> None:
        with self._lock:
            if not self._closed:
                self._spare.append(demuxer)
                return
        demuxer.close()

    def segments(self, part: int, target: int) -> List[Segment]:
        index = self._indexed()
        if index is None:
            return super().segments(part, target)
        packets = index.packets
        # Random-access points are merged into segments of at least `target`
        # packets; a short tail joins the segment before it. Packets before
        # the first key packet stay with the first segment, as a plain pass
        # sends them too.
        starts = [0]
        for key in _starts(index):
            if key - starts[-1] >= target and packets - key >= target:
                starts.append(key)
        ends: List[Optional[int]] = [*starts[1:], None]
        return [Segment(self.name, part, number, first, end, (packets if end is None else end) - first)
                for number, (first, end) in enumerate(zip(starts, ends))]

    def check_segment(self, segment: Segment) -> None:
        index = self._indexed()
        if index is None:
            return super().check_segment(segment)
        keys = set(_starts(index))
        first, end = segment.first_packet, segment.end_packet
        if (segment.source != self.name or (first != 0 and first not in keys)
                or (end is not None and (end not in keys or end <= first))):
            raise ValueError(f"{segment!r} is not a segment of {self.shown}: it must start at packet 0 or a key "
                             "packet and end at a later key packet or None")

    def key_numbers(self) -> Optional[KeyNumbers]:
        """The numbers of the random-access pictures of a local file (None
        for a URL, or a file whose packets cannot all be read)."""
        if is_url(self.name) or self._unindexed:
            return None
        try:
            index = self.index()
        except OSError:
            self._unindexed = True
            return None
        with self._lock:
            if self._numbers is None:
                self._numbers = KeyNumbers(index)
            return self._numbers

    def numbered_segment_pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int,
                                  segment: Segment, schedule: Optional["Schedule"] = None,
                                  wanted: Optional[Set[int]] = None) -> Iterator[Numbered]:
        index = self._indexed()
        numbers = self.key_numbers() if index is not None else None
        if numbers is None or index is None:
            yield from self.numbered_pictures(memory, converter_args, device, None)
            return
        by_ordinal, unreferenced = numbers.by_ordinal, numbers.unreferenced
        if wanted is not None and schedule is None and by_ordinal is not None:
            # Only the wanted pictures and those they predict from are
            # decoded (where the stream does not say, every picture but
            # those no other refers to); they are numbered by their time
            # stamps.
            run = SegmentPass(self, index, segment, None)
            kept, numbered = wanted, by_ordinal
            needed = numbers.needed(numbers.ordinal_of(number) for number in kept)
            if needed is not None:  # only what they predict from, in turn
                first = segment.first_packet
                run.sends = lambda ordinal: ordinal in needed or ordinal == first
            else:
                run.sends = lambda ordinal: not unreferenced[ordinal] or int(numbered[ordinal]) in kept
            run.converts = lambda ordinal: int(numbered[ordinal]) in kept
            if kept:
                run.send_until = max(numbers.ordinal_of(number) for number in kept)
            by_time = self._numbers_by_time(index, by_ordinal)
            for pts, picture, name in run.pictures(memory, converter_args, device):
                yield pts, picture, name, by_time.get(pts)
            return
        # A pass over segments gives their pictures in display order, whose
        # first is the random-access picture it starts at.
        first = numbers.number_of(segment.first_packet)
        for count, (pts, picture, name) in enumerate(self.segment_pictures(memory, converter_args, device, segment,
                                                                            schedule)):
            yield pts, picture, name, first + count

    def _numbers_by_time(self, index: PacketIndex, by_ordinal: Any) -> Dict[float, int]:
        """Picture numbers by time in seconds, as a pass's clock gives them
        where the time stamps increase in display order."""
        with self._lock:
            known = self._by_time
        if known is None:
            num, den = self.demuxer.time_base
            known = {stamp * num / den: number for stamp, number in zip(index.pts.tolist(), by_ordinal.tolist())}
            with self._lock:
                self._by_time = known
        return known

    def segment_pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int, segment: Segment,
                         schedule: Optional["Schedule"] = None) -> Iterator[Tuple[float, PictureBlock, str]]:
        index = self._indexed()
        if index is None:
            yield from self.pictures(memory, converter_args, device, None)
            return
        run = SegmentPass(self, index, segment, schedule)
        yield from run.pictures(memory, converter_args, device)
        for after in run.apart:
            yield from self.segment_pictures(memory, converter_args, device, after, schedule)

    def close(self) -> None:
        with self._lock:
            self._closed = True
            spare, self._spare = self._spare, []
            unread, self._unread = self._unread, []
            idle = [channel for channels in self._idle.values() for channel in channels]
            self._idle.clear()
        for channel in idle:
            channel.close()
        for demuxer in {id(d): d for d in (self.demuxer, *spare, *unread)}.values():
            demuxer.close()

    def pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int,
                 start: Optional[float]) -> Iterator[Tuple[float, PictureBlock, str]]:
        for pts, picture, name, _number in self.numbered_pictures(memory, converter_args, device, start):
            yield pts, picture, name

    def numbered_pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int,
                          start: Optional[float]) -> Iterator[Numbered]:
        demuxer, unread = self._take()
        converter = _Converter(memory, device, *converter_args, bt709=demuxer.bt709)
        try:
            decoded = 0
            first: Optional[int] = None if self._live() else 0
            for pts, picture in self._from(demuxer, unread, device, converter, start):
                if decoded == 0 and start is not None and first is not None:
                    first = self._seek_number(demuxer, pts)
                decoded += 1
                if picture is not None:
                    yield pts, picture, self.shown, None if first is None else first + decoded - 1
            # libavformat accepts some files by their name alone (a text
            # file called .jpg); one that yields nothing is refused, not empty.
            if decoded == 0:
                raise OSError(f"cannot decode {self.shown}: it holds no picture that decodes")
        finally:
            converter.close()
            self._give_back(demuxer)

    def _seek_number(self, demuxer: Demuxer, pts: float) -> Optional[int]:
        """The number of the first picture of a pass that sought: the
        random-access picture it landed at, found by its time stamp (a pass
        from the top starts at 0); None when it is none of them."""
        numbers = self.key_numbers()
        if numbers is None:
            return None
        index = self.index()
        num, den = demuxer.time_base
        if pts == _Clock(num, den, self.rate).seconds(None):
            return 0  # a stream without time stamps is read from the top
        # The pass starts at the random-access picture it landed at: the last
        # one whose time stamp is not after the picture's (AVI files give
        # decoding times only, which a reordering decoder's pictures trail).
        found: Optional[int] = None
        for key, shown, decoded in zip(index.key_ordinals.tolist(), index.key_pts.tolist(), index.key_dts.tolist()):
            stamp = shown if shown != _NO_PTS else decoded
            if stamp != _NO_PTS and stamp * num / den <= pts + 1e-9 and key in numbers.ordinals:
                found = key if found is None or key > found else found
        return None if found is None else numbers.number_of(found)

    def _from(self, demuxer: Demuxer, unread: bool, device: int, converter: _Converter,
              start: Optional[float]) -> Iterator[Tuple[float, Optional[PictureBlock]]]:
        """(pts, picture) in display order from the top or from the first
        picture at or after `start`; pictures decoded before it come as
        (pts, None). A seek lands at a random-access point at or before
        `start` where the container has an index; in MPEG-TS and MPEG-PS it
        may land after one, and the decoder gives nothing before the next:
        the pass then starts again from further back, until its first
        picture is not after `start` (or it starts from the top)."""
        num, den = demuxer.time_base
        back = 0.0
        while True:
            target = None if start is None else start - back
            top = target is None or target <= 0
            if target is not None and not top:
                try:
                    demuxer.seek(target)
                except ValueError:  # a stream that does not seek (raw Annex B) is read from the top
                    top = True
            if top and not unread:
                demuxer.seek(0.0)
            unread = False
            clock = _Clock(num, den, self.rate)
            if self.decoder == "card":
                source = self._card(demuxer, device, converter, clock, start)
            else:
                source = self._host(demuxer, converter, clock, start)
            try:
                first = next(source, None)
                if top or (first is not None and start is not None and first[0] <= start + 1e-9):
                    if first is not None:
                        yield first
                        yield from source
                    return
                if first is not None and first[1] is not None:
                    converter.memory.give(first[1].nbytes, first[1].address)
            finally:
                source.close()
            back = max(1.0, 2 * back)

    def _card(self, demuxer: Demuxer, device: int, converter: _Converter, clock: "_Clock",
              start: Optional[float]) -> "_Decoded":
        channel = _Channel(CARD_VIDEO[self.codec], device, PICTURE_FORMATS["nv12"].decoder_format, eager=self._live())
        try:
            def pictures(frames: Iterator[Any]) -> Iterator[Tuple[float, Optional[PictureBlock]]]:
                for frame in frames:
                    pts = clock.seconds(_frame_pts(frame))
                    if start is not None and pts < start - 1e-9:
                        yield pts, None
                    else:
                        yield pts, converter.convert(frame.data[0], "nv12", frame.width, frame.height,
                                                     frame.stride[0])

            failure: Optional[OSError] = None
            while True:
                try:
                    packet = demuxer.read()
                except OSError as error:
                    # A source that fails part way ends as its end would: the
                    # pictures still in the decoder come out, then the error.
                    failure = error
                    break
                if packet is None:
                    break
                self.received = time.time()
                data, pts, _key = packet
                yield from pictures(channel.send(data, _NO_PTS if pts is None else pts))
            yield from pictures(channel.finish())
            if failure is not None:
                raise failure
        finally:
            channel.close()

    def _host(self, demuxer: Demuxer, converter: _Converter, clock: "_Clock",
              start: Optional[float]) -> "_Decoded":
        decoded = "nv12" if converter.format == "nv12" else "rgb24"
        decoder = HostDecoder(demuxer, decoded)
        while (picture := decoder.read()) is not None:
            self.received = time.time()
            pts, address, nbytes, width, height = picture
            seconds = clock.seconds(pts)
            if start is not None and seconds < start - 1e-9:
                yield seconds, None
                continue
            staging = converter.scratch("upload" if decoded == "rgb24" else decoded, width, height)
            check(kycm.memcpy(address, staging, nbytes, kycm.copyMemType.kycmCT_COPY_TO_DEVICE), "kycm",
                           "uploading a picture decoded on the host")
            converted = converter.convert(staging, decoded, width, height, width)
            yield seconds, replace(converted, damaged=True) if decoder.damaged else converted


# A plain pass's pictures as a decoder gives them: (pts, picture), None for
# a picture decoded before the pass's start.
_Decoded = Generator[Tuple[float, Optional[PictureBlock]], None, None]



def _turned_upright(part: _Container, autorotate: bool) -> None:
    """Gives `part` the turn its display matrix asks for (when `autorotate`),
    and its width and height those of its pictures turned. Angles other
    than quarter turns are left alone, as ffmpeg leaves them."""
    part.rotation = part.demuxer.rotation
    part.turn = (360 - part.rotation) % 360 if autorotate and part.rotation in (90, 180, 270) else 0
    if part.turn in (90, 270):
        part.width, part.height = part.height, part.width
