"""Device memory of one video: pictures in it (`PictureBlock`), blocks
reused by size, and host copies resized on the die."""
from __future__ import annotations

import collections
import operator
import threading
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt
from _quillon_pybind11 import kyce, kycm

from .. import runtime
from .._native import address_of
from .._fusion import SOURCES, fusion_op
from .._pictures import PICTURE_FORMATS, image_desc
from ..errors import check, failed


FORMATS = tuple(PICTURE_FORMATS)  # "nv12", "rgb24", "bgr24", "gray", "rgb_planar"
_KEPT_OPS = 16  # fusion ops a video keeps for resized copies
_IMAGE_TYPES = {name: picture.image_type for name, picture in PICTURE_FORMATS.items()}
_FORMAT_NAMES = {picture.image_type: name for name, picture in PICTURE_FORMATS.items()}
_desc = image_desc


def _checked_picture(format: str, size: Optional[Tuple[int, int]]) -> Optional[Tuple[int, int]]:
    """`size` as a tuple, once `format` and it are what `frames()` takes."""
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if size is not None:
        if (not isinstance(size, (tuple, list)) or len(size) != 2
                or not all(isinstance(v, int) and not isinstance(v, bool) and v > 0 for v in size)):
            raise ValueError(f"size must be (width, height) in positive ints, not {size!r}")
        size = (int(size[0]), int(size[1]))
    return size


def _picture_bytes(format: str, width: int, height: int) -> int:
    """The bytes of a picture of `format`; 3 a pixel for a host picture
    being uploaded ("upload")."""
    known = PICTURE_FORMATS.get(format)
    return known.nbytes(width, height) if known is not None else width * height * 3


@dataclass(frozen=True)
class PictureBlock:
    """A picture's block of device memory, for chaining it into further work
    on the die without a host copy (a frame's `picture`). With its
    `device_address`, `width`, `height`, `format` and `device` it is a
    `quillon.DevicePicture`, as models, writers and the fusion op take one.

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

    @property
    def format(self) -> str:
        """The picture's format: one of FORMATS."""
        return _FORMAT_NAMES[self.image_type]

    @property
    def device_address(self) -> Any:
        """`address`, as `quillon.Model`, `Writer.write` and the fusion op
        take a picture (`quillon.DevicePicture`): packed rows only."""
        if self.pitch != self.width:
            raise ValueError(f"the picture's rows are {self.pitch} pixels apart, not {self.width}: "
                             "ask frames() for a size to get packed pictures")
        return self.address


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

    def resized(self, picture: PictureBlock, source: str, format: str, size: Optional[Tuple[int, int]]
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
            check(kycm.memcpy(block, address_of(out), out.nbytes, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE),
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
