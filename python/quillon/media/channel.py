"""A decoder channel of the card's media engine on one die."""
from __future__ import annotations

from typing import Any, Iterator, Optional

import numpy as np
import numpy.typing as npt
from _quillon_pybind11 import kycm, kyme

from ..errors import Code, Error, check, error_class


_TIMEOUT = int(Code.KYME_TIMEOUT)
# How long a channel whose input is full waits for pictures before it tries
# to send again (a decoder that takes input and gives no picture).
_RUN_WAIT_MS = 20
_EOS = int(Code.KYME_WARN_EOS)
# The decoder status's result while the picture handed out last was decoded
# with damage concealed.
_DAMAGED = int(Code.KYME_WARN_DAMAGED)
# How long a decoder that ended its stream may take for each of its last pictures.
_DRAIN_WAIT_MS = 10000
_NO_PTS = -(2**63)


def _frame_pts(frame: Any) -> Optional[int]:
    """The time stamp the decoder carried from the packet to the picture: the
    frame record keeps it at byte 72, which the record's class does not expose."""
    value = int(kycm.getNumpyFromHandle(frame, 128)[72:80].view(np.int64)[0])
    return None if value == _NO_PTS else value


def _threads_setting(wide: bool, threads: Optional[int]) -> int:
    """The `enableMC` of a video channel: 1 (every processor) for a `wide`
    one; a count of threads in its bits 8 to 15; 0 leaves them to the host
    SDK (`QUILLON_DECODE_THREADS`, or the channel's share of the processors)."""
    if wide:
        return 1
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, int) or not 1 <= threads <= 64:
        raise ValueError(f"a decoder's threads must be an int from 1 to 64, not {threads!r}")
    return threads << 8


class _Channel:
    """One decoder channel on a die, created for one pass over a source.
    A `wide` one decodes on every processor, one made with `threads` on
    that many, whatever the other channels do (`enableMC`)."""

    def __init__(self, codec: Any, device: int, output: Any, eager: bool = True, wide: bool = False,
                 threads: Optional[int] = None) -> None:
        parameters = kyme.decChannelParamters()
        parameters.codecType = codec
        parameters.pixelFormat = output
        parameters.extraBufferNumber = 4
        parameters.enableMC = self.setting = _threads_setting(wide, threads)
        self.wide = wide
        status = kyme.decStatus()
        last = 0
        for number in range(1024):
            code = kyme.createDecoderChannel(parameters, number)
            last = code if code != 0 else last
            if code != 0:
                continue
            kyme.getDecoderStatus(number, status)
            if status.hardwareID.dieID == device:
                self.number = number
                break
            kyme.destroyDecoderChannel(number)
        else:
            raise error_class("kyme")(last, f"no free decoder channel on device {device}")
        code = kyme.startDecoder(self.number)
        if code != 0:
            kyme.destroyDecoderChannel(self.number)
            check(code, "kyme", "starting the decoder")
        self.frame, self.options = kyme.frame(), kyme.decOutputOptions()
        self.options.memoryType = kyme.memoryType.KYME_MEM_DEVICE
        self.stream = kyme.stream()
        self.lent = False
        self.ended = False
        self.eager = eager

    def send(self, data: Optional[npt.NDArray[np.uint8]], pts: int) -> Iterator[Any]:
        """Sends one packet (None: the end of the stream), yielding the
        pictures that become ready meanwhile. An eager channel (a live
        source's) looks for pictures after every packet, so that each is
        handed on as soon as it is decoded. Otherwise pictures are taken only
        when the decoder's input is full, and then as the decoder hands them
        over, a few at a time: the caller works on them one after another
        while its code and data are still in the processor's caches, instead
        of waking for each picture after the decoder has swept them (5 % less
        CPU a picture in the main job)."""
        stream = kyme.stream() if data is None else self._load(data, pts)
        wait, run = (20, 0) if self.eager else (0, _RUN_WAIT_MS)
        while (code := kyme.sendStreamToDecoder(self.number, stream, wait)) == _TIMEOUT:
            yield from self.receive(run)
        check(code, "kyme", "sending a packet to the decoder")
        # Only once the decoder has taken the end: a consumer that stopped
        # while its input was full leaves the end still to send, and the
        # decoder would otherwise be drained of an end it never had.
        self.ended = self.ended or data is None
        if self.eager:
            yield from self.receive(0)

    def offer(self, data: Optional[npt.NDArray[np.uint8]] = None, pts: int = 0) -> int:
        """Hands one packet to the decoder if its input has room, without
        waiting: 0, or _TIMEOUT when it is full (then `receive` what it has
        decoded and offer it again, without `data`). `send` without a
        generator a packet, for the loops that feed a decoder at every
        picture."""
        stream = self.stream if data is None else self._load(data, pts)
        return int(kyme.sendStreamToDecoder(self.number, stream, 0))

    def _load(self, data: npt.NDArray[np.uint8], pts: int) -> Any:
        kyme.setStreamData(self.stream, data)
        self.stream.pts = pts
        return self.stream

    def receive(self, timeout: int, draining: bool = False) -> Iterator[Any]:
        """The pictures ready: the first waited for up to `timeout` ms, then
        those already there; `draining` (the stream ended), every picture
        left, each waited for up to `timeout` ms. Each is released once the
        consumer resumes."""
        while True:
            code = kyme.receiveFrameFromDecoder(self.number, self.frame, self.options, timeout)
            timeout = timeout if draining else 0
            if code != 0:
                if code == _EOS or (code == _TIMEOUT and not draining):
                    return
                check(code, "kyme", "receiving a picture from the decoder")
            self.lent = True
            try:
                yield self.frame
            finally:
                self.release()

    def finish(self) -> Iterator[Any]:
        """Ends the stream and yields the pictures still in the decoder."""
        if not self.ended:
            yield from self.send(None, 0)
        yield from self.receive(_DRAIN_WAIT_MS, draining=True)

    def release(self) -> None:
        if self.lent:
            self.lent = False
            kyme.decReleaseFrame(self.number, self.frame, 0)

    def recycle(self) -> bool:
        """Readies the channel for another stream of the same codec: what it
        still holds is dropped, undecoded (a pass that ended early, at the
        last picture it wanted, has no use for it), and the decoder starts
        afresh. The channel keeps its pictures' device memory, which a new
        channel would have to allocate (and fault in) again. False when it
        cannot."""
        self.release()
        if kyme.resetDecoder(self.number) != 0:
            return False
        self.ended = False
        return True

    def close(self) -> None:
        # A consumer that failed may still hold a picture (its generator
        # is only collected later): it goes back before the channel stops.
        self.release()
        # The decoder finishes what it was given before it stops: stopping
        # holds the interpreter lock while it waits for the decoding thread,
        # and that thread, inside libavcodec, may log through a callback that
        # wants the lock (PyAV installs one), which would never return.
        try:
            for _ in self.finish():
                pass
        except (Error, ValueError):
            pass
        kyme.stopDecoder(self.number)
        kyme.destroyDecoderChannel(self.number)
