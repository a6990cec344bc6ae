"""Photos: JPEG files decoded by the card's JPEG decoder, other pictures by
Pillow on the host, turned upright as their EXIF orientation says."""
from __future__ import annotations

import logging
from dataclasses import replace
from typing import Any, Iterator, List, Optional, Tuple

import numpy as np
import numpy.typing as npt
from _quillon_pybind11 import kycm, kyme

from .._native import address_of
from .._pictures import PICTURE_FORMATS
from ..errors import check, error_class
from .channel import _DAMAGED, _Channel
from .convert import _Converter
from .memory import PictureBlock, _Memory
from .part import ConverterArgs, _Part
from .segments import Schedule, Segment

_log = logging.getLogger("quillon")


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

    def segment_pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int, segment: Segment,
                         schedule: Optional[Schedule] = None) -> Iterator[Tuple[float, PictureBlock, str]]:
        return self.pictures(memory, converter_args, device, segment.first_packet, segment.first_packet + 1)

    def pictures(self, memory: _Memory, converter_args: ConverterArgs, device: int,
                 start: Optional[float], stop: Optional[int] = None) -> Iterator[Tuple[float, PictureBlock, str]]:
        converter = _Converter(memory, device, *converter_args, bt709=False)
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
                                           PICTURE_FORMATS["rgb24"].decoder_format)
                    picture = self._on_card(channel, path, number, converter, orientation)
                else:
                    picture = self._upload(_oriented(pixels, orientation), converter)
                yield float(number), picture, path
        finally:
            converter.close()
            if channel is not None:
                channel.close()

    def _on_card(self, channel: _Channel, path: str, number: int, converter: _Converter,
                 orientation: int) -> PictureBlock:
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
    def _damaged(channel: _Channel, picture: PictureBlock) -> PictureBlock:
        """`picture`, marked damaged when the decoder says it concealed damage
        in the picture it handed out last (data that ended early)."""
        status = kyme.decStatus()
        kyme.getDecoderStatus(channel.number, status)
        return replace(picture, damaged=True) if status.result == _DAMAGED else picture

    def _take(self, frame: Any, converter: _Converter, orientation: int) -> PictureBlock:
        width, height, pitch = frame.width, frame.height, frame.stride[0] // 3
        if orientation == 1:
            return converter.convert(frame.data[0], "rgb24", width, height, pitch)
        # Turning a picture is done on the host: the op engine has no transpose.
        host = np.empty((height, pitch * 3), np.uint8)
        check(kycm.memcpy(frame.data[0], address_of(host), host.nbytes,
                                   kycm.copyMemType.kycmCT_COPY_FROM_DEVICE), "kycm", "copying a photo to the host")
        pixels = host[:, :width * 3].reshape(height, width, 3)
        return self._upload(_oriented(pixels, orientation), converter)

    @staticmethod
    def _upload(pixels: npt.NDArray[np.uint8], converter: _Converter) -> PictureBlock:
        pixels = np.ascontiguousarray(pixels)
        height, width = pixels.shape[:2]
        staging = converter.scratch("upload", width, height)
        check(kycm.memcpy(address_of(pixels, writable=False), staging, pixels.nbytes,
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
