"""Encoding pictures into files on the card's encoder: `quillon.encode`.

    with quillon.encode("out.mp4", 1280, 720, fps=25) as video:
        for picture in pictures:          # H x W x 3 uint8 RGB arrays
            video.write(picture)

The container follows the file's extension (see `encode`); the coded units
are written with libavformat by the package's native helper.
"""
from __future__ import annotations

import errno
import os
import re
from fractions import Fraction
from types import TracebackType
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

import _quillon_pybind11 as _module
from . import runtime
from ._native import Muxer, send_picture
from quillon._pictures import PICTURE_FORMATS, DevicePicture, image_desc
from quillon.errors import Code, Error, check, error_class

__all__ = ["encode", "Writer", "DevicePicture", "Error"]

kycm, kyme, kyce = _module.kycm, _module.kyme, _module.kyce

_OK, _EOS = int(Code.SUCCESS), int(Code.KYME_WARN_EOS)
_INVALID_CHANNEL, _CHANNEL_BUSY = int(Code.KYME_INVALID_CHANNEL), int(Code.KYME_CHANNEL_BUSY)
_TIMEOUT = int(Code.KYME_TIMEOUT)
_POLL_MS, _FINISH_MS = 100, 60000
# Largest run of channel numbers a die can have (platform configuration).
_MAX_DIE_NUMBERS = 1024
# At most this many consecutive B-pictures, so no unit is decoded more than
# this many picture periods before it is shown: the decoding time stamps
# trail by it.
_GOP_SIZE = 4
_REORDER_DELAY = _GOP_SIZE - 1
# Constant rate factor without bitrate or quality, for both codecs (x265's
# own default, 28, loses visibly more than x264's 23).
_DEFAULT_QUALITY = 23

# Extension -> (libavformat container, codecs it takes, codec when none is given).
_CONTAINERS: dict[str, tuple[str, tuple[str, ...], str]] = {
    ".mp4": ("mp4", ("h264", "hevc"), "h264"),
    ".mkv": ("matroska", ("h264", "hevc"), "h264"),
    ".h264": ("h264", ("h264",), "h264"),
    ".264": ("h264", ("h264",), "h264"),
    ".hevc": ("hevc", ("hevc",), "hevc"),
    ".265": ("hevc", ("hevc",), "hevc"),
    ".jpg": ("image2", ("jpeg",), "jpeg"),
    ".jpeg": ("image2", ("jpeg",), "jpeg"),
}
_PATTERN = re.compile(r"%0?\d*d")


Picture = Union[npt.NDArray[np.uint8], DevicePicture]

# (layout of a picture, layout the encoder takes) -> kyce conversions on the
# die: (colour code, output layout) in order, each from the layout before.
_STEPS: dict[tuple[str, str], tuple[tuple[str, str], ...]] = {
    ("rgb24", "nv12"): (("kyceCOLOR_RGB2YUV_NV12_PLANAR", "nv12"),),
    ("bgr24", "nv12"): (("kyceCOLOR_BGR2YUV_NV12_PLANAR", "nv12"),),
    ("rgb_planar", "nv12"): (("kyceCOLOR_RGB2YUV_NV12_PLANAR", "nv12"),),
    ("nv12", "rgb24"): (("kyceCOLOR_YUV2RGB_NV12", "rgb24"),),
    ("bgr24", "rgb24"): (("kyceCOLOR_BGR2RGB", "rgb24"),),
    ("rgb_planar", "rgb24"): (("kyceCOLOR_RGB2YUV_NV12_PLANAR", "nv12"), ("kyceCOLOR_YUV2RGB_NV12", "rgb24")),
}
_LAYOUTS = ("nv12", "rgb24", "bgr24", "rgb_planar")


def encode(path: Union[str, os.PathLike[str]], width: int, height: int, *, codec: Optional[str] = None,
           fps: Union[int, float, Fraction] = 30, bitrate: Optional[int] = None, quality: Optional[int] = None,
           key_interval: Optional[int] = None, device: Optional[int] = None) -> Writer:
    """Opens a file for pictures of `width` x `height` pixels to be encoded
    on the card's encoder and returns its writer (a context manager).

    The container follows the extension: `.mp4`, `.mkv` (H.264 or HEVC),
    `.h264`/`.264`, `.hevc`/`.265` (Annex B elementary streams), `.jpg` or
    `.jpeg` (one JPEG file per picture; the name holds a `%d` pattern that
    numbers pictures from 0, such as `out/%05d.jpg`). `codec` is `"h264"`,
    `"hevc"` or `"jpeg"`; by default the one the extension implies, H.264
    for `.mp4` and `.mkv`. `fps` sets the time stamps (picture i is shown
    at i / fps seconds). `bitrate` (bits per second) asks for an average bit
    rate, `quality` (1 best to 51) for a constant rate factor; with neither,
    constant quality 23. `key_interval` puts a random-access (IDR) picture
    every that many pictures (default: the encoder's own choice), where a
    reader can start and where the main job splits a clip among dies.
    `device` is the die (default 0).

    Raises ValueError for an unknown extension or an argument out of range,
    OSError when the file cannot be written, Error when the card refuses.
    """
    return Writer(path, width, height, codec=codec, fps=fps, bitrate=bitrate, quality=quality,
                  key_interval=key_interval, device=device)


def _check(code: int, what: str, library: str = "kyme") -> None:
    check(int(code), library, what)


def _positive_int(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value <= 0:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return int(value)


def _rate(fps: object) -> Fraction:
    if isinstance(fps, bool) or not isinstance(fps, (int, float, Fraction, np.integer, np.floating)):
        raise ValueError(f"fps must be a number, not {fps!r}")
    if not np.isfinite(float(fps)) or fps <= 0:
        raise ValueError(f"fps must be positive and finite, not {fps!r}")
    rate = Fraction(fps).limit_denominator(1001)  # type: ignore[arg-type]
    if rate <= 0 or rate.numerator > 2**31 - 1:
        raise ValueError(f"fps {fps!r} is out of range")
    return rate


def _container(path: str, codec: Optional[str]) -> tuple[str, str]:
    extension = os.path.splitext(path)[1].lower()
    if extension not in _CONTAINERS:
        raise ValueError(f"{path}: unknown extension {extension!r} (use one of {', '.join(_CONTAINERS)})")
    container, codecs, default = _CONTAINERS[extension]
    chosen = default if codec is None else codec
    if chosen not in ("h264", "hevc", "jpeg"):
        raise ValueError(f"codec must be 'h264', 'hevc' or 'jpeg', not {codec!r}")
    if chosen not in codecs:
        raise ValueError(f"{path}: a {extension} file holds {' or '.join(codecs)}, not {chosen}")
    if container == "image2":
        if len(_PATTERN.findall(os.path.basename(path))) != 1:
            raise ValueError(f"{path}: a JPEG sequence needs one %d pattern in the file name, such as %05d.jpg")
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise FileNotFoundError(errno.ENOENT, "no such folder for the JPEG files", folder)
        if not os.access(folder, os.W_OK):
            raise PermissionError(errno.EACCES, "the folder for the JPEG files cannot be written", folder)
    return container, chosen


def _video_parameters(codec: str, width: int, height: int, rate: Fraction, bitrate: Optional[int],
                      quality: Optional[int], key_interval: Optional[int] = None) -> Any:
    parameters = kyme.encChannelParamters()
    if codec == "jpeg":
        parameters.codecType = kyme.codecType.KYME_CODEC_ENC_JPEG
        parameters.jpegConfig.codingWidth, parameters.jpegConfig.codingHeight = width, height
        # JPEG files hold full-range YCbCr: the encoder converts from RGB itself.
        parameters.jpegConfig.frameType = kyme.pixelFormat.KYME_PIX_FMT_RGB24
        return parameters
    parameters.codecType = getattr(kyme.codecType, "KYME_CODEC_ENC_HEVC" if codec == "hevc" else "KYME_CODEC_ENC_H264")
    video = parameters.videoConfig
    video.width, video.height = width, height
    video.frameRate.numerator, video.frameRate.denominator = rate.numerator, rate.denominator
    video.qualityMode = kyme.encQualityMode.KYME_GOLD_QUALITY
    video.gopSize = _GOP_SIZE
    if key_interval is not None:
        video.keyInt = key_interval
    video.bBPyramid = video.P2B = video.llRc = video.enableROI = kyme.KYME_ENC_DEFAULT_PAR
    if bitrate is not None:
        video.bitRate, video.vbr = bitrate, 1  # average bit rate, no cap
    else:
        video.vbr, video.crf = 0, _DEFAULT_QUALITY if quality is None else quality
    return parameters


def _probe_parameters() -> Any:
    """A channel as small and quick to open as the encoder allows, to learn
    which channel numbers exist."""
    parameters = kyme.encChannelParamters()
    parameters.codecType = kyme.codecType.KYME_CODEC_ENC_H264
    video = parameters.videoConfig
    video.width, video.height = kyme.KYME_ENC_VIDEO_MIN_WIDTH, kyme.KYME_ENC_VIDEO_MIN_HEIGHT
    video.frameRate.numerator, video.frameRate.denominator = 25, 1
    video.qualityMode = kyme.encQualityMode.KYME_BRONZE_QUALITY
    return parameters


def _first_number(device: int) -> int:
    """The first channel number of a die. Numbers run die after die, each
    die's video channels on the first numbers of its run, so the dies' runs
    are told apart by the numbers between them that take no video channel."""
    if device == 0:
        return 0
    probe, run, inside = _probe_parameters(), 0, True
    for number in range(1, (device + 1) * (_MAX_DIE_NUMBERS + 1)):
        code = kyme.createEncoderChannel(probe, number)
        if code == _OK:
            kyme.destroyEncoderChannel(number)
        valid = code in (_OK, _CHANNEL_BUSY)
        if valid and not inside:
            run += 1
            if run == device:
                return number
        inside = valid
    raise ValueError(f"device {device}: its encoder channels cannot be told apart from the previous die's")


def _open_channel(parameters: Any, device: int) -> int:
    first = _first_number(device)
    for number in range(first, first + _MAX_DIE_NUMBERS):
        code = kyme.createEncoderChannel(parameters, number)
        if code == _OK:
            return number
        if code == _INVALID_CHANNEL:
            break
        if code != _CHANNEL_BUSY:
            _check(code, "createEncoderChannel")
    raise error_class("kyme")(_CHANNEL_BUSY, f"no free encoder channel on device {device}")


class Writer:
    """Pictures into one file through one encoder channel; made by `encode`.

    `write` takes a picture and returns once the encoder holds its own copy;
    `close` drains the encoder and finishes the file. Use it from one thread
    at a time.
    """

    def __init__(self, path: Union[str, os.PathLike[str]], width: int, height: int, *, codec: Optional[str] = None,
                 fps: Union[int, float, Fraction] = 30, bitrate: Optional[int] = None,
                 quality: Optional[int] = None, key_interval: Optional[int] = None,
                 device: Optional[int] = None) -> None:
        self._channel: Optional[int] = None
        self._buffers: dict[str, Any] = {}
        self._muxer: Optional[Muxer] = None
        self.path = os.fspath(path)
        if not isinstance(self.path, str):
            raise ValueError(f"path must be a str or a path, not {path!r}")
        self.width, self.height = _positive_int("width", width), _positive_int("height", height)
        if self.width % 2 or self.height % 2:
            raise ValueError(f"width and height must be even (4:2:0 pictures), not {self.width}x{self.height}")
        container, self.codec = _container(self.path, codec)
        self.fps = _rate(fps)
        self.device = 0 if device is None else device
        if isinstance(self.device, bool) or not isinstance(self.device, int) or self.device < 0:
            raise ValueError(f"device must be a die index (int >= 0), not {device!r}")
        if bitrate is not None:
            bitrate = _positive_int("bitrate", bitrate)
        if quality is not None and (isinstance(quality, bool) or not isinstance(quality, int)
                                    or not 1 <= quality <= 51):
            raise ValueError(f"quality must be an int from 1 (best) to 51, not {quality!r}")
        if key_interval is not None:
            key_interval = _positive_int("key_interval", key_interval)
        if self.codec == "jpeg" and (bitrate is not None or quality is not None):
            raise ValueError("JPEG pictures are coded at a fixed quality: bitrate and quality do not apply")
        if bitrate is not None and quality is not None:
            raise ValueError("give bitrate (average bit rate) or quality (constant quality), not both")
        self.frame_count = 0
        self._units = 0
        self._layout = "rgb24" if self.codec == "jpeg" else "nv12"

        runtime.start_media()
        self._stream = kyme.stream()
        try:
            self._allocate()
            self._channel = _open_channel(
                _video_parameters(self.codec, self.width, self.height, self.fps, bitrate, quality, key_interval),
                self.device)
            _check(kyme.startEncoder(self._channel), "startEncoder")
            # The file is opened (and an existing one truncated) only once
            # the card took the configuration.
            # An absolute path is always a file to libavformat, never a
            # protocol such as http: or pipe:.
            self._muxer = Muxer(os.path.abspath(self.path), container, "mjpeg" if self.codec == "jpeg" else self.codec,
                                        self.width, self.height, self.fps.numerator, self.fps.denominator)
        except BaseException:
            self._release()
            raise

    def _allocate(self) -> None:
        """Device memory on the writer's die for one NV12 picture and one
        RGB picture to convert from."""
        with runtime.on_device(runtime.resolve(self.device)):
            pixels = self.width * self.height
            self._buffers["nv12"] = kycm.malloc(pixels * 3 // 2)
            self._buffers["rgb24"] = kycm.malloc(pixels * 3)

    @property
    def closed(self) -> bool:
        """True once `close` ran (or the writer could not be opened)."""
        return self._muxer is None

    def write(self, picture: Picture) -> None:
        """Encodes one picture: an H x W x 3 uint8 RGB array, an NV12 array
        (uint8, H * 3 / 2 rows of W: the luma rows, then the interleaved
        U, V rows), or a picture on the die (`DevicePicture`)."""
        if self._muxer is None or self._channel is None:
            raise ValueError(f"{self.path}: write after close")
        if isinstance(picture, np.ndarray):
            address = self._upload(picture)
        elif isinstance(picture, DevicePicture):
            address = self._from_device(picture)
        else:
            raise TypeError(f"write takes a numpy array or a picture on the die, not {type(picture).__name__}")
        while (code := send_picture(self._channel, address, self._layout, self.width, self.height,
                                            self.frame_count, _POLL_MS)) == _TIMEOUT:
            self._drain(0)  # the channel waits for its coded units to be taken
        _check(code, "sendFrameToEncoder")
        self.frame_count += 1
        self._drain(0)

    def _upload(self, picture: npt.NDArray[Any]) -> Any:
        w, h = self.width, self.height
        if picture.dtype != np.uint8:
            raise ValueError(f"a picture array must be uint8, not {picture.dtype}")
        if picture.shape == (h, w, 3):
            layout, size = "rgb24", w * h * 3
        elif picture.shape == (h * 3 // 2, w):
            layout, size = "nv12", w * h * 3 // 2
        else:
            raise ValueError(f"a picture array must be {h}x{w}x3 (RGB) or {h * 3 // 2}x{w} (NV12) for a "
                             f"{w}x{h} writer, not {'x'.join(map(str, picture.shape))}")
        target = self._buffers[layout]
        host = kycm.getHandleFromNumpy(np.ascontiguousarray(picture).reshape(-1))
        try:
            _check(kycm.memcpy(host, target, size, kycm.copyMemType.kycmCT_COPY_TO_DEVICE), "kycm.memcpy", "kycm")
        finally:
            kycm.freeHost(host)
        return self._convert(target, layout)

    def _from_device(self, picture: DevicePicture) -> Any:
        if (picture.width, picture.height) != (self.width, self.height):
            raise ValueError(f"a {picture.width}x{picture.height} picture cannot go into a "
                             f"{self.width}x{self.height} writer")
        if picture.format not in _LAYOUTS:
            raise ValueError(f"pictures of format {picture.format!r} cannot be encoded ({', '.join(_LAYOUTS)})")
        return self._convert(picture.device_address, picture.format)

    def _convert(self, source: Any, layout: str) -> Any:
        """The picture at `source` in the layout the encoder takes, converted
        on the die by kyce where needed (RGB to NV12 is limited-range BT.601)."""
        for code_name, output in _STEPS.get((layout, self._layout), ()):
            target = self._buffers[output]
            code = kyce.cvtColor(getattr(kyce.colorCvtCode, code_name), kyce.colorSpace.kyceCOLOR_SPACE_BT601,
                                 image_desc(self.width, self.height, PICTURE_FORMATS[layout].image_type), source,
                                 image_desc(self.width, self.height, PICTURE_FORMATS[output].image_type), target)
            _check(code, "kyce.cvtColor", "kyce")
            source, layout = target, output
        return source

    def _drain(self, timeout_ms: int) -> int:
        """Moves the coded units the channel has into the file; returns the
        code that ended the wait."""
        assert self._channel is not None and self._muxer is not None
        stream = self._stream
        while (code := kyme.receiveStreamFromEncoder(self._channel, stream, timeout_ms)) == _OK:
            try:
                unit, pts = bytes(memoryview(stream)), int(stream.pts)  # type: ignore[arg-type]
            finally:
                kyme.encReleaseStream(self._channel, stream, 0)
            # Units come in decoding order; none is decoded more than the
            # reorder delay before it is shown.
            dts = self._units if self.codec == "jpeg" else self._units - _REORDER_DELAY
            self._muxer.write(unit, pts, dts)
            self._units += 1
        return int(code)

    def close(self) -> None:
        """Encodes what is still queued and finishes the file; closing again
        does nothing."""
        if self._muxer is None:
            return
        try:
            if self._channel is not None:
                _check(kyme.sendFrameToEncoder(self._channel, kyme.frame(), None, _FINISH_MS),
                       "sendFrameToEncoder (end of stream)")
                code = self._drain(_FINISH_MS)
                if code != _EOS:
                    _check(code, "receiveStreamFromEncoder (end of stream)")
            self._muxer.close()
        finally:
            self._release()

    def _release(self) -> None:
        if self._channel is not None:
            kyme.stopEncoder(self._channel)
            kyme.destroyEncoderChannel(self._channel)
            self._channel = None
        for block in self._buffers.values():
            kycm.free(block)
        self._buffers.clear()
        # A muxer closed this way still finishes what it wrote.
        self._muxer = None

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if kind is None:
            self.close()
            return
        try:
            self.close()
        except Exception:  # the error that ended the block is the one to see
            pass

    def __del__(self) -> None:
        # A writer dropped without close still finishes its file, as a
        # Python file object does: the pictures it was given are not lost.
        if getattr(self, "_muxer", None) is not None:
            try:
                self.close()
            except Exception:
                self._release()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self.frame_count} pictures"
        return f"<quillon.Writer {self.path!r} {self.codec} {self.width}x{self.height} @ {self.fps} fps, {state}>"
