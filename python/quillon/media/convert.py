"""Resizing, colour conversion and turning of decoded pictures on the die."""
from __future__ import annotations

from dataclasses import replace
from typing import Any, Dict, Optional, Tuple

import numpy as np
import numpy.typing as npt
from _quillon_pybind11 import kyce, kycm

from .._native import address_of
from ..errors import check
from .memory import _IMAGE_TYPES, PictureBlock, _desc, _Memory, _picture_bytes


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

    def convert(self, address: Any, base: str, width: int, height: int, pitch: int) -> PictureBlock:
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
        check(kycm.memcpy(picture.address, address_of(host), host.nbytes,
                          kycm.copyMemType.kycmCT_COPY_FROM_DEVICE), "kycm", "copying a picture to turn it")
        turned = np.ascontiguousarray(_turned(host, self.format, picture.width, picture.height, self.turn))
        check(kycm.memcpy(address_of(turned, writable=False), picture.address, turned.nbytes,
                          kycm.copyMemType.kycmCT_COPY_TO_DEVICE), "kycm", "copying a turned picture back")
        return replace(picture, width=out_w, height=out_h, pitch=out_w)

    def _convert(self, address: Any, base: str, width: int, height: int, pitch: int, out_size: Tuple[int, int],
                 borrow: bool) -> PictureBlock:
        out_w, out_h = out_size
        steps = _CONVERSIONS.get((base, self.format), ())
        if base != self.format and not steps:
            raise ValueError(f"no conversion from {base} to {self.format}")
        if (base == "nv12" or self.format == "nv12") and (out_w % 2 or out_h % 2):
            raise ValueError(f"nv12 pictures need an even width and height, not {out_w}x{out_h}")
        nbytes = _picture_bytes(self.format, out_w, out_h)
        if borrow and not steps and (out_w, out_h) == (width, height) and pitch == out_w:
            return PictureBlock(address, nbytes, out_w, out_h, out_w, _IMAGE_TYPES[self.format], self.device, True)
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
        return PictureBlock(block, nbytes, out_w, out_h, out_w, _IMAGE_TYPES[self.format], self.device)


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
