"""Media sources: `quillon.open` turns a file, a folder of photos, a URL or a
list of these into a `Video` whose `frames()` decode on the card and convert
and resize on the die, yielding `Frame` objects that stay in device memory
until `Frame.to_numpy()` asks for a host copy.

    with quillon.open("clip.mp4") as video:
        for frame in video.frames(format="rgb24", size=(224, 224)):
            print(frame.index, frame.pts, frame.to_numpy().shape)

Containers are demuxed by libavformat in the package's native helper
(`quillon._native`); H.264, HEVC and JPEG go to the card's decoder channels,
other codecs are decoded by libavcodec on the host and uploaded.

`Video.segments()` cuts a source at its random-access points into `Segment`
objects that `frames(segment=...)` decodes independently, on any die; put
together in order they give the pictures of one plain pass.
"""
from __future__ import annotations

import collections
import logging
import math
import operator
import os
import stat
import threading
import weakref
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, Generator, Iterator, List, Optional, Sequence, Set, Tuple, Union

import numpy as np
import numpy.typing as npt
from _quillon_pybind11 import kyce, kycm, kyme

from quillon import _native, runtime
from quillon._fusion import SOURCES, fusion_op
from quillon.errors import Error, check, error_class, failed

__all__ = ["open", "Video", "Frame", "Segment", "DevicePicture", "FORMATS"]

# (format, size, borrow) of a frames() call and the clockwise turn (0, 90,
# 180 or 270) of the part passed, for the converters of its passes.
ConverterArgs = Tuple[str, Optional[Tuple[int, int]], bool, int]
Source = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

FORMATS = ("nv12", "rgb24", "bgr24", "gray", "rgb_planar")
URL_SCHEMES = ("http://", "https://", "rtsp://", "rtsps://", "rtmp://", "udp://", "tcp://", "srt://")
PHOTO_SUFFIXES = (".jpg", ".jpeg", ".jpe", ".jfif")
# Other pictures a folder of photos holds, which Pillow decodes on the host.
PICTURE_SUFFIXES = (".png", ".apng", ".bmp", ".dib", ".gif", ".tif", ".tiff", ".webp", ".ppm", ".pgm", ".pbm",
                    ".pnm", ".tga", ".pcx", ".ico", ".jp2", ".j2k", ".jpx")
# Codecs the card decodes, with the coded formats its video decoder takes.
CARD_VIDEO = {"h264": kyme.codecType.KYME_CODEC_DEC_H264, "hevc": kyme.codecType.KYME_CODEC_DEC_HEVC}
CARD_PIXELS = ("yuv420p", "yuvj420p", "yuv420p10le", "nv12", "gray")

_TIMEOUT = 402007  # the media engine's time-out code
# How long a channel whose input is full waits for pictures before it tries
# to send again (a decoder that takes input and gives no picture).
_RUN_WAIT_MS = 20
_KEPT_OPS = 16  # fusion ops a video keeps for resized copies
_EOS = int(kyme.kymeER_RSLT_WARN_EOS)
# The decoder status's result while the picture handed out last was decoded
# with damage concealed.
_DAMAGED = 401003
# How long a decoder that ended its stream may take for each of its last pictures.
_DRAIN_WAIT_MS = 10000
_NO_PTS = -(2**63)
_log = logging.getLogger("quillon")
_WARNED: Set[str] = set()  # sources whose host decoding was announced

_IMAGE_TYPES = {
    "nv12": kyce.imageType.kyceIMG_YUV_NV12,
    "rgb24": kyce.imageType.kyceIMG_RGB888,
    "bgr24": kyce.imageType.kyceIMG_BGR888,
    "gray": kyce.imageType.kyceIMG_GRAY,
    "rgb_planar": kyce.imageType.kyceIMG_RGB_PLANAR,
}
_C = kyce.colorCvtCode
# (picture decoded, format asked) -> the op engine's conversions, in order.
_CONVERSIONS: Dict[Tuple[str, str], Tuple[Any, ...]] = {
    ("nv12", "rgb24"): (_C.kyceCOLOR_YUV2RGB_NV12,),
    ("nv12", "bgr24"): (_C.kyceCOLOR_YUV2BGR_NV12,),
    ("nv12", "gray"): (_C.kyceCOLOR_YUV2GRAY_NV12,),
    ("nv12", "rgb_planar"): (_C.kyceCOLOR_YUV2RGB_NV12, _C.kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR),
    ("rgb24", "bgr24"): (_C.kyceCOLOR_RGB2BGR,),
    ("rgb24", "gray"): (_C.kyceCOLOR_RGB2GRAY_INTERLEAVE,),
    ("rgb24", "rgb_planar"): (_C.kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR,),
    ("rgb24", "nv12"): (_C.kyceCOLOR_RGB2YUV_NV12_PLANAR,),
}
_STEP_FORMAT = {
    _C.kyceCOLOR_YUV2RGB_NV12: "rgb24", _C.kyceCOLOR_YUV2BGR_NV12: "bgr24", _C.kyceCOLOR_YUV2GRAY_NV12: "gray",
    _C.kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR: "rgb_planar", _C.kyceCOLOR_RGB2BGR: "bgr24",
    _C.kyceCOLOR_RGB2GRAY_INTERLEAVE: "gray", _C.kyceCOLOR_RGB2YUV_NV12_PLANAR: "nv12",
}


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


# What `Video.frames(following=...)` asks, as a pass reaches the end of its
# segments, for the segment to go on with (None: the pass ends there).
Following = Callable[[], Optional[Segment]]
# What `Video.frames(widen=...)` asks as a pass starts and as it goes on
# into a segment: True, to decode from there on every processor.
Widen = Callable[[], bool]


def _picture_bytes(format: str, width: int, height: int) -> int:
    if format == "nv12":
        return width * height * 3 // 2
    if format == "gray":
        return width * height
    return width * height * 3


@dataclass(frozen=True)
class DevicePicture:
    """A picture in device memory, for chaining it into further work on the die
    without a host copy.

    `address` is the device memory (a handle capsule, as the module's kycm and
    kyce functions take it), `nbytes` its size, `width` and `height` the
    picture's, `pitch` the row pitch in pixels (rows follow each other every
    `pitch` pixels, planes every `pitch` x `height`), `image_type` the op
    engine's format (`kyce.imageType`) and `device` the die holding it.
    """

    address: Any
    nbytes: int
    width: int
    height: int
    pitch: int
    image_type: Any
    device: int
    borrowed: bool = False  # the decoder's own picture, valid until the next one
    damaged: bool = False  # the decoder concealed damage in it (data that ended early)

    def desc(self) -> Any:
        """The picture as the op engine's `kyce.imageDesc`."""
        return _desc(self.width, self.height, self.image_type, self.pitch)


def _desc(width: int, height: int, image_type: Any, pitch: Optional[int] = None) -> Any:
    desc = kyce.imageDesc()
    desc.width, desc.height = width, height
    desc.widthPitch, desc.heightPitch = pitch or width, height
    desc.format = image_type
    return desc


class _Memory:
    """Device blocks of one video, reused by size: a block goes back to the
    free list when the frame holding it is dropped, and every block is freed
    when the video closes."""

    def __init__(self) -> None:
        self._free: Dict[Tuple[int, int], List[Any]] = collections.defaultdict(list)  # by (die, size)
        self._all: List[Any] = []
        self._die: Dict[int, int] = {}  # the die of each block of _all, by id()
        self._lock = threading.Lock()  # guards _free, _all and closed
        self._ops: Dict[Tuple[Any, ...], Any] = {}  # fusion ops of resized copies, by picture and result
        self._ops_lock = threading.Lock()  # guards _ops and their use
        self.closed = False

    def take(self, nbytes: int, device: int) -> Any:
        """A block of `nbytes` on die `device`: a free one of that size, or a
        new one allocated there (the runtime's current device is the
        process's, so it is chosen under the runtime's lock)."""
        with self._lock:
            if self.closed:
                raise ValueError("the video is closed")
            if self._free[device, nbytes]:
                return self._free[device, nbytes].pop()
        try:
            with runtime.on_device(device):
                block = kycm.malloc(max(nbytes, 1))
        except RuntimeError as error:
            failed(error, "kycm", f"cannot allocate {nbytes} bytes of device memory on device {device}")
        with self._lock:
            if not self.closed:
                self._all.append(block)
                self._die[id(block)] = device
                return block
        kycm.free(block)  # closed meanwhile, from another thread
        raise ValueError("the video is closed")

    def give(self, nbytes: int, block: Any) -> None:
        with self._lock:
            die = self._die.get(id(block))
            # A block not of this memory (a decoder's own picture) is never kept.
            if not self.closed and die is not None:
                self._free[die, nbytes].append(block)

    def resized(self, picture: DevicePicture, source: str, format: str, size: Optional[Tuple[int, int]]
                ) -> npt.NDArray[np.uint8]:
        """A host copy of `picture` (format `source`) converted to `format`
        ("rgb24" or "bgr24") and resized to `size` on the die."""
        if source not in SOURCES:
            raise ValueError(f"a {source} frame is copied as it is: only nv12, rgb24 and bgr24 frames are converted "
                             "or resized on the die")
        if format not in ("rgb24", "bgr24"):
            raise ValueError(f"a {source} frame is copied as it is or converted to 'rgb24' or 'bgr24' on the die, "
                             f"not to {format!r}")
        try:
            width, height = (operator.index(n) for n in size) if size is not None else (picture.width, picture.height)
        except (TypeError, ValueError):
            width = height = 0
        if not (0 < width <= 8192 and 0 < height <= 8192):
            raise ValueError(f"size must be (width, height), each 1 to 8192 pixels, not {size!r}")
        key = (picture.device, source, picture.width, picture.height, picture.pitch, width, height, format)
        out = np.empty((height, width, 3), np.uint8)
        block = self.take(out.nbytes, picture.device)
        try:
            with self._ops_lock:
                op = self._ops.get(key)
                if op is None:
                    if len(self._ops) >= _KEPT_OPS:  # a program asking ever new sizes keeps the latest ones
                        kyce.destroyOp(self._ops.pop(next(iter(self._ops))))
                    with runtime.on_device(picture.device):  # the op's own memory on the picture's die
                        op = self._ops[key] = fusion_op(
                            source, picture.width, picture.height, picture.pitch, (width, height),
                            norm=kyce.normType.kyceNORM_NORMALIZATION_NONE,
                            tensorization=kyce.tensorizationType.kyceTENSORIZATION_UINT8_INTERLEAVE,
                            blue_first=format == "bgr24")
                code = kyce.executeOp(op, picture.address, block)
            check(code, "kyce", f"converting the {picture.width}x{picture.height} {source} picture to "
                                f"{width}x{height} {format}")
            check(kycm.memcpy(block, _native.address_of(out), out.nbytes, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE),
                  "kycm", "copying a frame to the host")
        finally:
            self.give(out.nbytes, block)
        return out

    def __del__(self) -> None:
        self.close()

    def close(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
            blocks, self._all = self._all, []
            self._free.clear()
            self._die.clear()
        with self._ops_lock:
            ops, self._ops = list(self._ops.values()), {}
        for op in ops:
            kyce.destroyOp(op)
        for block in blocks:
            kycm.free(block)


class Frame:
    """One decoded picture in device memory.

    Attributes: `index` (its place among the pictures this `frames()` call
    yielded, from 0), `pts` (seconds, from the container's time stamps),
    `width`, `height`, `format` (one of FORMATS), `device` (the die holding
    it), `source` (the file or URL it came from), `damaged` (the decoder
    concealed damage in it) and `picture` (the
    `DevicePicture`: address, size and layout in device memory). The picture
    stays valid while the frame is referenced and its video is open.
    """

    __slots__ = ("index", "pts", "format", "source", "picture", "_memory", "_gone")

    def __init__(self, index: int, pts: float, format: str, source: str, picture: DevicePicture,
                 memory: _Memory) -> None:
        self.index = index
        self.pts = pts
        self.format = format
        self.source = source
        self.picture = picture
        self._memory = memory
        self._gone = False

    def __del__(self) -> None:
        if not self.picture.borrowed:
            self._memory.give(self.picture.nbytes, self.picture.address)

    def _live(self) -> DevicePicture:
        if self._memory.closed:
            raise ValueError("the video of this frame is closed: copy frames before the with block ends")
        if self._gone:
            raise ValueError("this frame came from frames(copy=False) and lasted only until its pass moved on "
                             "(the next frame, a break, an exception or close())")
        return self.picture

    @property
    def width(self) -> int:
        """Width in pixels."""
        return self.picture.width

    @property
    def height(self) -> int:
        """Height in pixels."""
        return self.picture.height

    @property
    def device_address(self) -> Any:
        """The device address of the picture's pixels, as `quillon.Model`
        takes them: packed rows (for NV12 the chroma plane right after the
        luma plane)."""
        picture = self._live()
        if picture.pitch != picture.width:
            raise ValueError(f"the picture's rows are {picture.pitch} pixels apart, not {picture.width}: "
                             "ask frames() for a size to get packed pictures")
        return picture.address

    @property
    def device(self) -> int:
        """The die holding the picture."""
        return self.picture.device

    @property
    def damaged(self) -> bool:
        """True when the decoder reported damage it concealed in this picture
        (a JPEG file that ends early, a corrupt slice of a video decoded on
        the host): the picture is whole, but part of it is made up."""
        return self.picture.damaged

    def to_numpy(self, format: Optional[str] = None, size: Optional[Tuple[int, int]] = None
                 ) -> npt.NDArray[np.uint8]:
        """A host copy: H x W x 3 for rgb24 and bgr24, H x W for gray, 3 x H x W
        for rgb_planar, (H * 3 / 2) x W for nv12 (the luma rows, then the
        interleaved chroma rows).

        With `format` "rgb24" or "bgr24" (of an nv12, rgb24 or bgr24 frame)
        and perhaps `size` (width, height), the picture is converted and
        resized (bilinear) on the die and only the result is copied: a
        thumbnail of a 1080p picture copies 100 KB, not 3 MB."""
        picture = self._live()
        if size is None and format in (None, self.format):
            width, height = picture.width, picture.height
            shape = {"nv12": (height * 3 // 2, width), "gray": (height, width), "rgb_planar": (3, height, width)}
            out = np.empty(shape.get(self.format, (height, width, 3)), np.uint8)
            check(kycm.memcpy(picture.address, _native.address_of(out), out.nbytes,
                              kycm.copyMemType.kycmCT_COPY_FROM_DEVICE), "kycm", "copying a frame to the host")
            return out
        return self._memory.resized(picture, self.format, format or self.format, size)

    def __repr__(self) -> str:
        return (f"<quillon.Frame {self.index} pts={self.pts:.6f} {self.width}x{self.height} {self.format} "
                f"device {self.device}>")


class _Converter:
    """Resizing and colour conversion on one die into blocks of the video's
    memory, with scratch blocks of its own for intermediate pictures."""

    def __init__(self, memory: _Memory, device: int, format: str, size: Optional[Tuple[int, int]], borrow: bool,
                 turn: int, bt709: bool) -> None:
        self.memory, self.device, self.format, self.size, self.borrow = memory, device, format, size, borrow
        self.turn = turn  # clockwise degrees that show the pictures upright
        self.space = kyce.colorSpace.kyceCOLOR_SPACE_BT709 if bt709 else kyce.colorSpace.kyceCOLOR_SPACE_BT601
        self._scratch: Dict[Tuple[str, int, int], Tuple[int, Any]] = {}

    def close(self) -> None:
        for nbytes, block in self._scratch.values():
            self.memory.give(nbytes, block)
        self._scratch.clear()

    def scratch(self, format: str, width: int, height: int) -> Any:
        """A block of this converter's for an intermediate picture ("upload":
        3 bytes a pixel), kept until it closes."""
        key = (format, width, height)
        if key not in self._scratch:
            nbytes = _picture_bytes(format, width, height)
            self._scratch[key] = (nbytes, self.memory.take(nbytes, self.device))
        return self._scratch[key][1]

    def target_size(self, width: int, height: int) -> Tuple[int, int]:
        return self.size if self.size is not None else (width, height)

    def convert(self, address: Any, base: str, width: int, height: int, pitch: int) -> DevicePicture:
        """The picture at `address` (format `base`) resized, converted and
        turned upright into a new block. The source is only read."""
        if not self.turn:
            return self._convert(address, base, width, height, pitch, self.target_size(width, height), self.borrow)
        if self.turn == 180 and base == "nv12":  # a decoded picture: turned on the die
            flipped = self.scratch("nv12", width, height)
            code = kyce.yuvFlip(kyce.flipType.kyceFLIP_BOTH_AXES, _desc(width, height, _IMAGE_TYPES["nv12"], pitch),
                                address, _desc(width, height, _IMAGE_TYPES["nv12"]), flipped)
            check(code, "kyce", f"turning a {width}x{height} picture upside down")
            return self._convert(flipped, "nv12", width, height, width, self.target_size(width, height), False)
        across = self.turn in (90, 270)
        out_w, out_h = self.target_size(*((height, width) if across else (width, height)))
        # Resized and converted as it is coded, to the size that is the
        # one asked for once turned; then turned on the host, as the op
        # engine has no transpose (and flips only NV12 pictures).
        picture = self._convert(address, base, width, height, pitch, (out_h, out_w) if across else (out_w, out_h),
                                False)
        host = np.empty(picture.nbytes, np.uint8)
        check(kycm.memcpy(picture.address, _native.address_of(host), host.nbytes,
                          kycm.copyMemType.kycmCT_COPY_FROM_DEVICE), "kycm", "copying a picture to turn it")
        turned = np.ascontiguousarray(_turned(host, self.format, picture.width, picture.height, self.turn))
        check(kycm.memcpy(_native.address_of(turned, writable=False), picture.address, turned.nbytes,
                          kycm.copyMemType.kycmCT_COPY_TO_DEVICE), "kycm", "copying a turned picture back")
        return replace(picture, width=out_w, height=out_h, pitch=out_w)

    def _convert(self, address: Any, base: str, width: int, height: int, pitch: int, out_size: Tuple[int, int],
                 borrow: bool) -> DevicePicture:
        out_w, out_h = out_size
        steps = _CONVERSIONS.get((base, self.format), ())
        if base != self.format and not steps:
            raise ValueError(f"no conversion from {base} to {self.format}")
        if (base == "nv12" or self.format == "nv12") and (out_w % 2 or out_h % 2):
            raise ValueError(f"nv12 pictures need an even width and height, not {out_w}x{out_h}")
        nbytes = _picture_bytes(self.format, out_w, out_h)
        if borrow and not steps and (out_w, out_h) == (width, height) and pitch == out_w:
            return DevicePicture(address, nbytes, out_w, out_h, out_w, _IMAGE_TYPES[self.format], self.device, True)
        block = self.memory.take(nbytes, self.device)
        try:
            current, current_format, current_pitch = address, base, pitch
            if (out_w, out_h) != (width, height):
                target = block if not steps else self.scratch(base, out_w, out_h)
                code = kyce.resize(kyce.resizeType.kyceRESIZE_BILINEAR,
                                   _desc(width, height, _IMAGE_TYPES[base], pitch), current,
                                   _desc(out_w, out_h, _IMAGE_TYPES[base]), target)
                check(code, "kyce", f"resizing a {width}x{height} picture to {out_w}x{out_h}")
                current, current_pitch = target, out_w
            for number, step in enumerate(steps):
                step_format = _STEP_FORMAT[step]
                target = block if number == len(steps) - 1 else self.scratch(step_format, out_w, out_h)
                code = kyce.cvtColor(step, self.space, _desc(out_w, out_h, _IMAGE_TYPES[current_format], current_pitch),
                                     current, _desc(out_w, out_h, _IMAGE_TYPES[step_format]), target)
                check(code, "kyce", f"converting {current_format} to {step_format}")
                current, current_format, current_pitch = target, step_format, out_w
            if current is address:  # neither resized nor converted: the picture is copied out
                if pitch == out_w:
                    code = kycm.memcpy(address, block, nbytes, kycm.copyMemType.kycmCT_COPY_DEVICE_TO_DEVICE)
                else:
                    code = kyce.cvtColor(_C.kyceCOLOR_NO_CHANGE, self.space,
                                         _desc(out_w, out_h, _IMAGE_TYPES[base], pitch), address,
                                         _desc(out_w, out_h, _IMAGE_TYPES[base]), block)
                check(code, "kycm", "copying a decoded picture")
        except BaseException:
            self.memory.give(nbytes, block)
            raise
        return DevicePicture(block, nbytes, out_w, out_h, out_w, _IMAGE_TYPES[self.format], self.device)


def _turned(pixels: npt.NDArray[np.uint8], format: str, width: int, height: int, turn: int
            ) -> npt.NDArray[np.uint8]:
    """A packed picture's bytes turned `turn` degrees clockwise, in the same
    format (the transposes of ffmpeg's autorotation: whole chroma samples
    move, none is made up)."""
    k = -turn // 90
    if format == "nv12":
        luma = np.rot90(pixels[:width * height].reshape(height, width), k)
        chroma = np.rot90(pixels[width * height:].reshape(height // 2, width // 2, 2), k)
        return np.concatenate([luma.reshape(-1), chroma.reshape(-1)])
    if format == "gray":
        return np.rot90(pixels.reshape(height, width), k)
    if format == "rgb_planar":
        return np.rot90(pixels.reshape(3, height, width), k, axes=(1, 2))
    return np.rot90(pixels.reshape(height, width, 3), k)


def _frame_pts(frame: Any) -> Optional[int]:
    """The time stamp the decoder carried from the packet to the picture: the
    frame record keeps it at byte 72, which the record's class does not expose."""
    value = int(kycm.getNumpyFromHandle(frame, 128)[72:80].view(np.int64)[0])
    return None if value == _NO_PTS else value


class _Channel:
    """One decoder channel on a die, created for one pass over a source.
    A `wide` one decodes on every processor (`enableMC`), whatever the
    other channels do."""

    def __init__(self, codec: Any, device: int, output: Any, eager: bool = True, wide: bool = False) -> None:
        parameters = kyme.decChannelParamters()
        parameters.codecType = codec
        parameters.pixelFormat = output
        parameters.extraBufferNumber = 4
        parameters.enableMC = int(wide)
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
            self.ended = True
            yield from self.send(None, 0)
        yield from self.receive(_DRAIN_WAIT_MS, draining=True)

    def release(self) -> None:
        if self.lent:
            self.lent = False
            kyme.decReleaseFrame(self.number, self.frame, 0)

    def recycle(self) -> bool:
        """Readies the channel for another stream of the same codec: what it
        holds is decoded and delivered, then the decoder starts afresh. The
        channel keeps its pictures' device memory, which a new channel would
        have to allocate (and fault in) again. False when it cannot."""
        self.release()
        try:
            for _ in self.finish():
                pass
        except (Error, ValueError):
            return False
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


def _is_url(text: str) -> bool:
    return text.lower().startswith(URL_SCHEMES)


def _is_jpeg(path: str) -> bool:
    """Whether `path` is a regular file that starts as a JPEG file does.
    Nothing else is read: a FIFO or a device gives its bytes once, and
    every one of them belongs to libavformat."""
    try:
        # Not even opened otherwise: a writer waiting on a FIFO would take
        # the opening for its reader, and be killed when it went away.
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        # Non-blocking, should the file have been replaced meanwhile.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return False
        return os.pread(descriptor, 3, 0) == b"\xff\xd8\xff"
    finally:
        os.close(descriptor)


def _photo_entries(folder: str) -> List[str]:
    """The picture files of a folder, by name: regular files (or links to
    them) with a suffix of PHOTO_SUFFIXES or PICTURE_SUFFIXES. An entry
    that cannot be followed (a link in a loop, a dangling one) is skipped
    as other files are."""
    found = []
    for entry in os.scandir(folder):
        if not entry.name.lower().endswith(PHOTO_SUFFIXES + PICTURE_SUFFIXES):
            continue
        try:
            if entry.is_file():
                found.append(entry.path)
        except OSError:
            continue
    return sorted(found)


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
    rotation = 0  # the container's turn for display, counter-clockwise degrees
    turn = 0  # the clockwise turn its pictures get: 90, 180, 270, or 0 (none, or not asked)

    def pictures(self, video: "Video", converter_args: ConverterArgs, device: int,
                 start: Optional[float]) -> Iterator[Tuple[float, DevicePicture, str]]:
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

    def segment_pictures(self, video: "Video", converter_args: ConverterArgs, device: int, segment: Segment,
                         following: Optional[Following] = None, widen: Optional[Widen] = None
                         ) -> Iterator[Tuple[float, DevicePicture, str]]:
        """The pictures of one segment, as `pictures` gives them, and of the
        segments `following` gives on (see `Video.frames`); `widen` is not
        asked."""
        return self.pictures(video, converter_args, device, None)

    def close(self) -> None:
        pass


_FileIdentity = Tuple[int, int, int, int, int]


def _file_identity(name: str) -> Optional[_FileIdentity]:
    """A local file as it stands (the same inode with the same size and
    times holds the same bytes), or None for anything else."""
    try:
        status = os.stat(name)
    except (OSError, ValueError):
        return None
    if not stat.S_ISREG(status.st_mode):
        return None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns


class _KnownIndexes:
    """The packet indexes of the files read last in this process: one run of
    the main job opens a clip once for its task list and once on each die,
    and reading every packet costs about 3 ms per 1,000 of them."""

    KEPT = 64

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._known: "collections.OrderedDict[str, Tuple[_FileIdentity, _native.PacketIndex]]" = \
            collections.OrderedDict()

    def recall(self, name: str, identity: Optional[_FileIdentity]) -> Optional[_native.PacketIndex]:
        with self._lock:
            known = self._known.get(name)
            if identity is None or known is None or known[0] != identity:
                return None
            self._known.move_to_end(name)
            return known[1]

    def keep(self, name: str, identity: Optional[_FileIdentity], index: _native.PacketIndex) -> None:
        """Keeps `index` if the file is still as it was before it was read."""
        if identity is None or _file_identity(name) != identity:
            return
        with self._lock:
            self._known[name] = (identity, index)
            self._known.move_to_end(name)
            while len(self._known) > self.KEPT:
                self._known.popitem(last=False)


_INDEXES = _KnownIndexes()


class _Container(_Part):
    def __init__(self, name: str) -> None:
        self.name = name
        self.demuxer = _native.Demuxer(name)
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
        if not on_card and name not in _WARNED:  # once a source: a program may open it many times
            _WARNED.add(name)
            _log.warning("%s: the card does not decode %s (%s, %dx%d); decoding it on the host", name, self.codec,
                         self.demuxer.pixel_format, self.width, self.height)
        self._index: Optional[_native.PacketIndex] = None
        self._unindexed = False  # reading every packet failed: a damaged file is one segment
        # Every pass reads with a demuxer of its own: the one opened here
        # while it is unread, then those of finished passes, repositioned
        # rather than the source opened again.
        self._unread: List[_native.Demuxer] = [self.demuxer]
        self._spare: List[_native.Demuxer] = []
        # Decoder channels of finished segment passes, by die and width, for the next.
        self._idle: Dict[Tuple[int, bool], List[_Channel]] = collections.defaultdict(list)
        self._closed = False
        self._lock = threading.Lock()

    def _live(self) -> bool:
        """Whether the source may give its packets as they happen (a URL):
        its pictures are then handed on one by one."""
        return _is_url(self.name)

    def _divisible(self) -> bool:
        # A network source is not read twice (a live one never ends), and the
        # host decoder's passes run over the whole part.
        return self.decoder == "card" and not _is_url(self.name) and not self._unindexed

    def _indexed(self) -> Optional[_native.PacketIndex]:
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
            raise ValueError(f"start must be within the time stamps of {self.name}, not {start!r} seconds")

    def index(self) -> _native.PacketIndex:
        """The key packets, found once by reading every packet with a demuxer
        of its own, or known from an earlier opening of the same file."""
        with self._lock:
            if self._index is not None:
                return self._index
        identity = _file_identity(self.name)
        index = _INDEXES.recall(self.name, identity)
        if index is None:
            demuxer = _native.Demuxer(self.name)
            try:
                index = demuxer.index()
            finally:
                self._give_back(demuxer)
            _INDEXES.keep(self.name, identity, index)
        with self._lock:
            self._index = self._index or index
            return self._index

    def _take(self) -> Tuple[_native.Demuxer, bool]:
        """A demuxer of this source for one pass, and whether it is unread.
        Passes of one video advanced in turn, or from threads of their own,
        read apart; a network source is read by one pass at a time."""
        with self._lock:
            if self._unread:
                return self._unread.pop(), True
            if self._spare:
                return self._spare.pop(), False
        if _is_url(self.name):
            raise ValueError(f"{self.name} is being read by another frames() pass: a network source is read by "
                             "one pass at a time")
        return _native.Demuxer(self.name), True

    def _channel(self, device: int, wide: bool = False) -> "_Channel":
        with self._lock:
            if self._idle[device, wide]:
                return self._idle[device, wide].pop()
        return _Channel(CARD_VIDEO[self.codec], device, kyme.pixelFormat.KYME_PIX_FMT_NV12, eager=False, wide=wide)

    def _idle_channel(self, device: int, channel: "_Channel") -> None:
        if channel.recycle():
            with self._lock:
                if not self._closed:
                    self._idle[device, channel.wide].append(channel)
                    return
        channel.close()

    def _give_back(self, demuxer: _native.Demuxer) -> None:
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
            raise ValueError(f"{segment!r} is not a segment of {self.name}: it must start at packet 0 or a key "
                             "packet and end at a later key packet or None")

    def segment_pictures(self, video: "Video", converter_args: ConverterArgs, device: int, segment: Segment,
                         following: Optional[Following] = None, widen: Optional[Widen] = None
                         ) -> Iterator[Tuple[float, DevicePicture, str]]:
        index = self._indexed()
        if index is None:
            yield from self.pictures(video, converter_args, device, None)
            return
        keys = index.key_ordinals.tolist()
        last_leading = dict(zip(keys, index.key_last_leading.tolist()))
        first = segment.first_packet
        stop = _PassEnd(keys, last_leading, segment.end_packet)
        # Packets from here on are shown after the first packet's picture.
        lead = last_leading.get(first, -1)
        shown_after = lead + 1 if lead >= 0 else next((key for key in keys if key > first), None)
        # With time stamps every packet's owner is known from the index, so
        # that two passes agree on each picture whatever their decoders drop;
        # without them, the order pictures come out in decides.
        known = lead >= 0 and stop.known
        ownership: "_Ownership" = (_OrdinalOwnership(first, lead, stop.end, stop.through) if known
                                   else _Ownership(first, stop.end, shown_after))
        # A segment `following` gives that cannot go on in this pass (its end
        # would change how pictures are owned) gets a pass of its own after.
        apart: List[Segment] = []

        def grow() -> Optional[_PassEnd]:
            """The pass's new end when `following` gives the next segment, as
            if the pass had been asked for both at once: nothing past the old
            end has been sent, so every picture goes where it would have."""
            nonlocal stop
            assert following is not None
            after = following()
            if after is None:
                return None
            if not isinstance(after, Segment) or after.part != segment.part or after.first_packet != stop.end:
                raise ValueError(f"{after!r} does not follow the segments of this pass, which end at packet "
                                 f"{stop.end} of part {segment.part}")
            self.check_segment(after)
            wider = _PassEnd(keys, last_leading, after.end_packet)
            if (lead >= 0 and wider.known) != known:
                apart.append(after)
                return None
            stop = wider
            ownership.end = wider.end
            if isinstance(ownership, _OrdinalOwnership):
                ownership.end_lead = wider.through
            return wider

        # A demuxer per pass, so that segments of one clip decode at once.
        demuxer, fresh = self._take()
        num, den = demuxer.time_base
        clock = _Clock(num, den, self.rate, origin=first)
        converter = _Converter(video._memory, device, *converter_args, bt709=demuxer.bt709)
        yielded: Set[int] = set()
        try:
            yield from self._decode_from(demuxer, fresh, index, first, device, ownership, stop, clock, converter,
                                         yielded, grow=grow if following is not None else None, widen=widen)
            # libavcodec drops the pictures still waiting in an H.264 decoder
            # at the end of the stream when decoding began at a recovery
            # point a few pictures before: a last segment short of pictures
            # is decoded again from an earlier random-access point, for the
            # missing ones only (the last ones shown).
            earlier = [key for key in keys if key < first]
            expected = index.packets - (shown_after if lead >= 0 and shown_after is not None else first)
            while stop.end is None and earlier and len(yielded) < expected:
                retry = (_OrdinalOwnership(first, lead, None, -1) if known
                         else _Ownership(first, None, shown_after))
                yield from self._decode_from(demuxer, False, index, earlier.pop(), device, retry,
                                             _PassEnd(keys, last_leading, None), clock, converter, yielded,
                                             skip=set(yielded))
        finally:
            converter.close()
            self._give_back(demuxer)
        for after in apart:
            yield from self.segment_pictures(video, converter_args, device, after, following, widen)

    def _decode_from(self, demuxer: Any, fresh: bool, index: Any, first: int, device: int, ownership: "_Ownership",
                     stop: "_PassEnd", clock: "_Clock", converter: _Converter, yielded: Set[int],
                     skip: Optional[Set[int]] = None, grow: Optional[Callable[[], Optional["_PassEnd"]]] = None,
                     widen: Optional[Widen] = None) -> Iterator[Tuple[float, DevicePicture, str]]:
        """One decoder pass from packet `first`, yielding the pictures
        `ownership` gives the segment, but those in `skip`, and sending
        packets as `stop` says. `grow`, asked as the pass reaches the end of
        its segments, may give a later end to go on to; `widen`, asked as
        the pass starts and goes on, may have it decode on every processor
        from there (see `Video.frames`)."""
        channel: Optional[_Channel] = None
        # The decoder a pass that widened left: it finishes its stream while
        # the wide one starts on the next, and gives its last pictures first.
        finishing: Optional[_Channel] = None
        try:
            if first > 0 or not fresh:
                demuxer.seek_packet(index, first)
            channel = self._channel(device, wide=widen is not None and bool(widen()))
            # The decoder carries each packet's ordinal to its picture in
            # place of the time stamp; the container's stamps wait here.
            stamps: Dict[int, Optional[int]] = {}

            def own(frame: Any) -> Optional[Tuple[float, DevicePicture, str]]:
                """The segment's picture in `frame`, or None when it is not the segment's."""
                ordinal = _frame_pts(frame)
                stamp = stamps.pop(ordinal, None) if ordinal is not None else None
                if not ownership.owns(ordinal) or (skip is not None and ordinal in skip):
                    return None
                picture = converter.convert(frame.data[0], "nv12", frame.width, frame.height, frame.stride[0])
                if ordinal is not None:
                    yielded.add(ordinal)
                return clock.seconds(stamp), picture, self.name

            def finished() -> Iterator[Tuple[float, DevicePicture, str]]:
                """The pictures left in the decoder a widened pass left."""
                nonlocal finishing
                if finishing is not None:
                    for frame in finishing.receive(_DRAIN_WAIT_MS, draining=True):
                        if (item := own(frame)) is not None:
                            yield item
                    leaving, finishing = finishing, None
                    self._idle_channel(device, leaving)

            ordinal = first
            failure: Optional[OSError] = None
            while True:
                # Where the pass goes on into a segment, a new decoder may
                # take over when no picture before its key packet in display
                # order comes after it, and the key picture is an IDR one
                # (libavcodec holds back the last pictures of a stream begun
                # at another kind of random-access point).
                afresh = False
                if grow is not None and ordinal == stop.end:
                    clean = stop.through == stop.end
                    stop = grow() or stop
                    afresh = clean and stop.end != ordinal and widen is not None and not channel.wide
                if ownership.done or (stop.limit is not None and ordinal >= stop.limit) or (
                        stop.last_sent >= 0 and ordinal > stop.last_sent):
                    break
                try:
                    packet = demuxer.read()
                except OSError as error:  # the pictures in the decoder come out first
                    failure = error
                    break
                if packet is None:
                    break
                data, stamps[ordinal], _key = packet
                if afresh and _begins_with_idr(self.codec, data) and widen is not None and widen():
                    yield from finished()
                    for frame in channel.send(None, 0):  # the end of its stream, its pictures kept coming
                        if (item := own(frame)) is not None:
                            yield item
                    channel.ended = True
                    finishing, channel = channel, self._channel(device, wide=True)
                # Loops rather than generators a packet: this runs at every picture.
                code = channel.offer(data, ordinal)
                while code == _TIMEOUT:
                    if finishing is not None:  # the wide decoder has its input: the one before gives its last pictures
                        yield from finished()
                    for frame in channel.receive(_RUN_WAIT_MS):
                        if (item := own(frame)) is not None:
                            yield item
                    code = channel.offer()
                check(code, "kyme", "sending a packet to the decoder")
                ordinal += 1
            yield from finished()
            if not ownership.done:
                for frame in channel.finish():
                    if (item := own(frame)) is not None:
                        yield item
            if failure is not None:
                raise failure
        finally:
            for left in (finishing, channel):
                if left is not None:
                    self._idle_channel(device, left)

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

    def pictures(self, video: "Video", converter_args: ConverterArgs, device: int,
                 start: Optional[float]) -> Iterator[Tuple[float, DevicePicture, str]]:
        demuxer, unread = self._take()
        converter = _Converter(video._memory, device, *converter_args, bt709=demuxer.bt709)
        try:
            decoded = 0
            for pts, picture in self._from(demuxer, unread, device, converter, start):
                decoded += 1
                if picture is not None:
                    yield pts, picture, self.name
            # libavformat accepts some files by their name alone (a text
            # file called .jpg); one that yields nothing is refused, not empty.
            if decoded == 0:
                raise OSError(f"cannot decode {self.name}: it holds no picture that decodes")
        finally:
            converter.close()
            self._give_back(demuxer)

    def _from(self, demuxer: _native.Demuxer, unread: bool, device: int, converter: _Converter,
              start: Optional[float]) -> Iterator[Tuple[float, Optional[DevicePicture]]]:
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

    def _card(self, demuxer: _native.Demuxer, device: int, converter: _Converter, clock: "_Clock",
              start: Optional[float]) -> "_Decoded":
        channel = _Channel(CARD_VIDEO[self.codec], device, kyme.pixelFormat.KYME_PIX_FMT_NV12, eager=self._live())
        try:
            def pictures(frames: Iterator[Any]) -> Iterator[Tuple[float, Optional[DevicePicture]]]:
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
                data, pts, _key = packet
                yield from pictures(channel.send(data, _NO_PTS if pts is None else pts))
            yield from pictures(channel.finish())
            if failure is not None:
                raise failure
        finally:
            channel.close()

    def _host(self, demuxer: _native.Demuxer, converter: _Converter, clock: "_Clock",
              start: Optional[float]) -> "_Decoded":
        decoded = "nv12" if converter.format == "nv12" else "rgb24"
        decoder = _native.HostDecoder(demuxer, decoded)
        while (picture := decoder.read()) is not None:
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
_Decoded = Generator[Tuple[float, Optional[DevicePicture]], None, None]


def _starts(index: _native.PacketIndex) -> List[int]:
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


class _Photos(_Part):
    """Picture files: JPEG decoded by the card's JPEG decoder; those it
    refuses (CMYK and YCCK) and the other formats Pillow reads (PNG, BMP,
    WebP, TIFF, GIF's first picture, ...) by Pillow on the host. EXIF
    orientation is applied."""

    def __init__(self, name: str, paths: List[str]) -> None:
        self.name, self.paths = name, paths
        self.codec, self.decoder = "jpeg", "card"
        self.fps, self.duration, self.frame_count = None, None, len(paths)
        image, orientation = _read_photo_header(paths[0])
        self.width, self.height = image.size if orientation < 5 else image.size[::-1]
        image.close()

    def segments(self, part: int, target: int) -> List[Segment]:
        last = len(self.paths) - 1
        return [Segment(path, part, number, number, None if number == last else number + 1, 1)
                for number, path in enumerate(self.paths)]

    def check_segment(self, segment: Segment) -> None:
        first, end, count = segment.first_packet, segment.end_packet, len(self.paths)
        if (not 0 <= first < count or end != (None if first == count - 1 else first + 1)
                or segment.source != self.paths[first]):
            raise ValueError(f"{segment!r} is not a segment of {self.name}")

    def segment_pictures(self, video: "Video", converter_args: ConverterArgs, device: int, segment: Segment,
                         following: Optional[Following] = None, widen: Optional[Widen] = None
                         ) -> Iterator[Tuple[float, DevicePicture, str]]:
        return self.pictures(video, converter_args, device, segment.first_packet, segment.first_packet + 1)

    def pictures(self, video: "Video", converter_args: ConverterArgs, device: int,
                 start: Optional[float], stop: Optional[int] = None) -> Iterator[Tuple[float, DevicePicture, str]]:
        converter = _Converter(video._memory, device, *converter_args, bt709=False)
        channel: Optional[_Channel] = None
        warned = False
        try:
            for number, path in enumerate(self.paths[:stop]):
                if start is not None and number < start - 1e-9:
                    continue
                image, orientation = _read_photo_header(path)
                pixels: Optional[npt.NDArray[np.uint8]] = None
                try:
                    if image.format != "JPEG":  # PNG, BMP, WebP, TIFF, GIF's first picture, ...
                        pixels = np.asarray(image.convert("RGB"))
                    elif image.mode == "CMYK":  # YCCK files open as CMYK too
                        if not warned:
                            _log.warning("%s: the card does not decode CMYK JPEG files; decoding them on the host",
                                         path)
                            warned = True
                        pixels = np.asarray(image.convert("RGB"))
                except (OSError, ValueError, SyntaxError) as error:  # what Pillow raises for a broken file
                    raise OSError(f"cannot decode {path}: {error}") from None
                finally:
                    image.close()
                if pixels is None:
                    if channel is None:
                        channel = _Channel(kyme.codecType.KYME_CODEC_DEC_JPEG, device,
                                           kyme.pixelFormat.KYME_PIX_FMT_RGB24)
                    picture = self._on_card(channel, path, number, converter, orientation)
                else:
                    picture = self._upload(_oriented(pixels, orientation), converter)
                yield float(number), picture, path
        finally:
            converter.close()
            if channel is not None:
                channel.close()

    def _on_card(self, channel: _Channel, path: str, number: int, converter: _Converter,
                 orientation: int) -> DevicePicture:
        data = np.fromfile(path, np.uint8)
        for frame in channel.send(data, number):
            return self._damaged(channel, self._take(frame, converter, orientation))
        code = kyme.receiveFrameFromDecoder(channel.number, channel.frame, channel.options, 10000)
        if code != 0:
            raise error_class("kyme")(code, f"{path}: the card could not decode this JPEG file")
        channel.lent = True
        try:
            return self._damaged(channel, self._take(channel.frame, converter, orientation))
        finally:
            channel.release()

    @staticmethod
    def _damaged(channel: _Channel, picture: DevicePicture) -> DevicePicture:
        """`picture`, marked damaged when the decoder says it concealed damage
        in the picture it handed out last (data that ended early)."""
        status = kyme.decStatus()
        kyme.getDecoderStatus(channel.number, status)
        return replace(picture, damaged=True) if status.result == _DAMAGED else picture

    def _take(self, frame: Any, converter: _Converter, orientation: int) -> DevicePicture:
        width, height, pitch = frame.width, frame.height, frame.stride[0] // 3
        if orientation == 1:
            return converter.convert(frame.data[0], "rgb24", width, height, pitch)
        # Turning a picture is done on the host: the op engine has no transpose.
        host = np.empty((height, pitch * 3), np.uint8)
        check(kycm.memcpy(frame.data[0], _native.address_of(host), host.nbytes,
                                   kycm.copyMemType.kycmCT_COPY_FROM_DEVICE), "kycm", "copying a photo to the host")
        pixels = host[:, :width * 3].reshape(height, width, 3)
        return self._upload(_oriented(pixels, orientation), converter)

    @staticmethod
    def _upload(pixels: npt.NDArray[np.uint8], converter: _Converter) -> DevicePicture:
        pixels = np.ascontiguousarray(pixels)
        height, width = pixels.shape[:2]
        staging = converter.scratch("upload", width, height)
        check(kycm.memcpy(_native.address_of(pixels, writable=False), staging, pixels.nbytes,
                                   kycm.copyMemType.kycmCT_COPY_TO_DEVICE), "kycm", "uploading a photo")
        return converter.convert(staging, "rgb24", width, height, width)


def _read_photo_header(path: str) -> Tuple[Any, int]:
    """The photo opened lazily by Pillow (only its header is read) and its
    EXIF orientation (1 when it has none)."""
    try:
        from PIL import Image
    except ImportError:
        raise ImportError("reading photos needs Pillow (python3-pil or pip install Pillow)") from None
    try:
        image = Image.open(path)
        orientation = int(image.getexif().get(0x0112, 1))
    except OSError as error:
        raise OSError(f"cannot open {path}: {error}") from None
    return image, orientation if 1 <= orientation <= 8 else 1


def _oriented(pixels: npt.NDArray[np.uint8], orientation: int) -> npt.NDArray[np.uint8]:
    """`pixels` (H x W x 3) turned upright as the EXIF orientation says, the
    way Pillow's ImageOps.exif_transpose turns them."""
    if orientation == 2:
        return pixels[:, ::-1]
    if orientation == 3:
        return pixels[::-1, ::-1]
    if orientation == 4:
        return pixels[::-1]
    if orientation == 5:
        return pixels.transpose(1, 0, 2)
    if orientation == 6:
        return np.rot90(pixels, -1)
    if orientation == 7:
        return pixels[::-1, ::-1].transpose(1, 0, 2)
    if orientation == 8:
        return np.rot90(pixels, 1)
    return pixels


def _turned_upright(part: _Container, autorotate: bool) -> None:
    """Gives `part` the turn its display matrix asks for (when `autorotate`),
    and its width and height those of its pictures turned. Angles other
    than quarter turns are left alone, as ffmpeg leaves them."""
    part.rotation = part.demuxer.rotation
    part.turn = (360 - part.rotation) % 360 if autorotate and part.rotation in (90, 180, 270) else 0
    if part.turn in (90, 270):
        part.width, part.height = part.height, part.width


def _parts(source: Source, autorotate: bool = True) -> List[_Part]:
    items: Sequence[Union[str, "os.PathLike[str]"]]
    if isinstance(source, (str, os.PathLike)):
        items = [source]
    elif isinstance(source, (list, tuple)):
        items = source
        if not items:
            raise ValueError("the list of sources is empty")
    else:
        raise TypeError(f"source must be a path, a URL or a list of these, not {type(source).__name__}")
    parts: List[_Part] = []
    try:
        for item in items:
            if not isinstance(item, (str, os.PathLike)):
                raise TypeError(f"a source must be a path or a URL, not {type(item).__name__}")
            name = os.fspath(item)
            if _is_url(name):
                container = _Container(name)
                parts.append(container)
                _turned_upright(container, autorotate)
            elif os.path.isdir(name):
                photos = _photo_entries(name)
                if not photos:
                    raise FileNotFoundError(2, f"no picture files in the folder {name}")
                parts.append(_Photos(name, photos))
            elif not os.path.exists(name):
                raise FileNotFoundError(2, f"cannot open {name}: no such file")
            elif _is_jpeg(name):
                parts.append(_Photos(name, [name]))
            else:
                container = _Container(name)
                parts.append(container)
                _turned_upright(container, autorotate)
    except BaseException:
        for part in parts:
            part.close()
        raise
    return parts


class _Pass:
    """A `frames()` iteration, which the video's `close()` may end from any
    thread: a thread asking for the next frame meanwhile waits for the end,
    rather than finding the generator busy."""

    def __init__(self, frames: Generator[Frame, None, None]) -> None:
        self._frames = frames
        self._lock = threading.Lock()  # held while the generator runs

    def __iter__(self) -> "_Pass":
        return self

    def __next__(self) -> Frame:
        with self._lock:
            return next(self._frames)

    def close(self, wait: bool = True) -> None:
        """Ends the iteration and gives back its decoder; without `wait`, not
        while it runs (it is then ended by what it runs into)."""
        if self._lock.acquire(blocking=wait):
            try:
                self._frames.close()
            finally:
                self._lock.release()


class Video:
    """A source opened by `quillon.open`: use it in a `with` block (or call
    `close()`), read its attributes and iterate `frames()`.

    Attributes: `codec` (libavcodec's name, "jpeg" for photos), `width`,
    `height`, `fps` (float; None when unknown), `duration` (seconds; None when
    unknown), `frame_count` (None when unknown), `decoder` ("card" or "host"),
    `rotation` (the container's display rotation: the counter-clockwise turn
    in degrees, 0 to 359, that shows the pictures upright, as ffprobe
    reports it; only 90, 180 and 270 are applied), `autorotate`
    (whether pictures are turned upright: then `width` and `height` are the
    upright ones), `source` (what was opened) and `device` (the die used by
    default). For a
    list the attributes are those of its first item, except `frame_count`
    and `duration`, which add up (None if any item's is unknown).
    """

    def __init__(self, source: Source, device: int, autorotate: bool = True) -> None:
        self.source = source
        self.device = device
        self.autorotate = autorotate
        self._parts = _parts(source, autorotate)
        self._memory = _Memory()
        self._passes: "weakref.WeakSet[_Pass]" = weakref.WeakSet()
        first = self._parts[0]
        self.codec, self.width, self.height = first.codec, first.width, first.height
        self.fps, self.decoder = first.fps, first.decoder
        self.rotation = first.rotation
        counts = [part.frame_count for part in self._parts]
        durations = [part.duration for part in self._parts]
        self.frame_count: Optional[int] = None if None in counts else sum(c for c in counts if c is not None)
        self.duration: Optional[float] = None if None in durations else sum(d for d in durations if d is not None)

    def __enter__(self) -> "Video":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A video dropped without close() gives back its channels and
        # sources at once; its memory goes with the last frame using it.
        for part in getattr(self, "_parts", ()):
            part.close()

    def close(self) -> None:
        """Ends every `frames()` iteration, closes the sources and frees the
        device memory of the frames (their `to_numpy()` then raises
        ValueError). It may be called from any thread, and from a function
        a pass calls back (`following`, `widen`): a pass running meanwhile
        ends at its next picture and gives back what it still holds."""
        self._memory.close()
        for iteration in list(self._passes):
            iteration.close(wait=False)  # one running sees the video closed at its next picture
        self._release()

    def _release(self) -> None:
        """Closes the sources that no pass is reading; a pass reading one
        closes it as it ends."""
        for part in self._parts:
            try:
                part.close()
            except ValueError:  # being read by a running pass
                pass

    def segments(self, target_pictures: int = 60) -> List[Segment]:
        """The source cut into pieces that decode independently: for each
        part (each item of a list), its segments in decode order.

        A video the card decodes is cut at its key packets (IDR, CRA and BLA
        pictures, I pictures with a recovery point), neighbouring
        random-access points merged so that a segment holds at least
        `target_pictures` packets where the part has enough (a part with one
        random-access point is one segment). Finding them reads the file's
        packets once, without decoding, the first time. A video decoded on
        the host and a URL are one segment each; photos are one segment per
        file. `frames(segment=...)` decodes one segment; the segments' frames
        in order are those of one plain `frames()` pass.
        """
        if not isinstance(target_pictures, int) or isinstance(target_pictures, bool) or target_pictures < 1:
            raise ValueError(f"target_pictures must be a positive int, not {target_pictures!r}")
        if self._memory.closed:
            raise ValueError("the video is closed")
        return [segment for number, part in enumerate(self._parts) for segment in part.segments(number,
                                                                                             target_pictures)]

    def frames(self, format: str = "rgb24", size: Optional[Tuple[int, int]] = None, device: Optional[int] = None,
               start: Optional[float] = None, segment: Optional[Segment] = None, copy: bool = True,
               following: Optional[Following] = None, widen: Optional[Widen] = None) -> Iterator[Frame]:
        """Decodes the pictures in display order as `Frame` objects.

        `format` is one of "nv12", "rgb24", "bgr24", "gray", "rgb_planar";
        `size` is (width, height) to resize to on the die (bilinear), None
        to keep the coded size; `device` is the die to decode and convert on
        (default: the video's); `start` (seconds, finite) begins at the
        random-access point before it and yields from the first picture at
        or after it (for photos: the number of the first photo). Each pass
        reads with a demuxer of its own; a URL is read by one pass at a time.

        `segment` (one of `segments()`, not with `start`) decodes only that
        segment's pictures; `index` then counts within the segment. Frames
        keep the container's `pts`; in a stream without time stamps the
        first picture of a segment is timed as if it were picture
        `first_packet`, so neighbouring segments' times may overlap.

        `following` (with `segment`) lets one pass go on through the
        segments after it: as the decoder reaches the end of the segments it
        has, `following()` is called for the next one (the segment of the same
        part that starts where they end), or None to end there. The pass then
        gives what one `frames(segment=...)` over all of them would, without
        the decoder starting afresh; `index` goes on counting. Photos and
        videos decoded on the host end with their segment.

        `widen` (with `segment`) is asked as the pass starts and as it goes
        on into a segment `following` gave that starts with an IDR picture
        without leading pictures (where a new decoder can take over): True
        has the pass decode from there on every processor (a channel made
        with `enableMC`), as the last pass of a run would once the other
        dies are done. The decoder before finishes its stream while the new
        one starts. The pictures are the same either way.

        `copy=False` saves a copy of every picture the decoder gives as it
        is (asked for in its coded format and size): such a frame is the
        decoder's own picture and lasts until the next frame is asked for
        (then its `to_numpy()` and `device_address` raise ValueError), which
        suits a loop that uses each frame at once, as `model.submit(frame)`
        does. Other frames are copies either way.
        """
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
        if size is not None:
            if (not isinstance(size, (tuple, list)) or len(size) != 2
                    or not all(isinstance(v, int) and not isinstance(v, bool) and v > 0 for v in size)):
                raise ValueError(f"size must be (width, height) in positive ints, not {size!r}")
            size = (int(size[0]), int(size[1]))
        if start is not None:
            if not isinstance(start, (int, float)) or isinstance(start, bool) or not math.isfinite(start):
                raise ValueError(f"start must be a finite number of seconds, not {start!r}")
            for part in self._parts:
                part.check_start(start)
        if segment is not None:
            if not isinstance(segment, Segment):
                raise TypeError(f"segment must be a quillon.media.Segment, not {type(segment).__name__}")
            if start is not None:
                raise ValueError("give a segment or a start, not both")
            if not (isinstance(segment.part, int) and 0 <= segment.part < len(self._parts)):
                raise ValueError(f"{segment!r} is not a segment of this video: it has {len(self._parts)} parts")
        if following is not None and (segment is None or not callable(following)):
            raise ValueError("following must be a function and goes with a segment")
        if widen is not None and (segment is None or not callable(widen)):
            raise ValueError("widen must be a function and goes with a segment")
        die = self.device if device is None else runtime.resolve(device)
        if self._memory.closed:
            raise ValueError("the video is closed")
        if segment is not None:
            self._parts[segment.part].check_segment(segment)
            frames = self._segment_frames((format, size, not copy, 0), die, segment, following, widen)
        else:
            frames = self._frames((format, size, not copy, 0), die, start)
        iteration = _Pass(frames)
        self._passes.add(iteration)
        return iteration

    def _frames(self, args: ConverterArgs, device: int, start: Optional[float]) -> Generator[Frame, None, None]:
        return self._framed(args, (item for part in self._parts
                                   for item in part.pictures(self, (*args[:3], part.turn), device, start)))

    def _segment_frames(self, args: ConverterArgs, device: int, segment: Segment, following: Optional[Following],
                        widen: Optional[Widen]) -> Generator[Frame, None, None]:
        part = self._parts[segment.part]
        return self._framed(args, part.segment_pictures(self, (*args[:3], part.turn), device, segment, following,
                                                        widen))

    def _framed(self, args: ConverterArgs, pictures: Iterator[Tuple[float, DevicePicture, str]]
                ) -> Generator[Frame, None, None]:
        """The pictures as frames, numbered from 0. A borrowed one is gone as
        soon as the pass moves on or ends in any way (the next frame asked
        for, a `break`, an exception, `close()`): the decoder then takes its
        picture back and fills it again. A pass the video's `close()` could
        not end at once (running in another thread, or calling back into it
        from `following`) ends quietly at its next picture."""
        frame: Optional[Frame] = None
        try:
            for index, (pts, picture, name) in enumerate(pictures):
                if self._memory.closed:
                    break
                frame = Frame(index, pts, args[0], name, picture, self._memory)
                yield frame
                if picture.borrowed:
                    frame._gone = True
                frame = None
        except Exception:
            # What failed because close() took the memory and sources away
            # from under the pass is the pass's end, not an error.
            if not self._memory.closed:
                raise
        finally:
            if frame is not None and frame.picture.borrowed:
                frame._gone = True
            frame = None
            close = getattr(pictures, "close", None)
            if close is not None:
                close()  # the pass's decoder goes back now, not when collected
            if self._memory.closed:
                self._release()

    def __repr__(self) -> str:
        return (f"<quillon.Video {self.source!r} {self.codec} {self.width}x{self.height} fps={self.fps} "
                f"decoder={self.decoder}>")


def open(source: Source, *, device: Optional[int] = None, autorotate: bool = True) -> Video:
    """Opens a video or photos for decoding on the card.

    `source` is a container file (anything libavformat demuxes: MP4, MOV,
    MKV, MPEG-TS, AVI, FLV, ...), an H.264/HEVC Annex B file, a JPEG file, a
    folder of JPEG files (taken in name order), an http://, https:// or
    rtsp:// URL, or a list of these (played one after the other). `device` is
    the die to decode on (default: the first). A video whose container asks
    for a quarter or half turn at display (a phone's MOV or MP4) gives its
    pictures turned upright, as ffmpeg shows them, unless `autorotate` is
    False.

    Raises OSError (FileNotFoundError for a missing file) when a source
    cannot be opened or holds no video, quillon.Error when the card fails.
    """
    if not isinstance(autorotate, bool):
        raise TypeError(f"autorotate must be True or False, not {type(autorotate).__name__}")
    die = runtime.resolve(device)
    runtime.start_media()
    # libav's messages go to the runtime's log through a callback that takes
    # no interpreter lock: one that does (PyAV's) would wait for ever on a
    # decoder thread that a channel being stopped waits for, lock held.
    _native.route_codec_messages()
    return Video(source, die, autorotate)
