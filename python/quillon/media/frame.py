"""`Frame`: one decoded picture in device memory."""
from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt
from _quillon_pybind11 import kycm

from .._native import address_of
from ..errors import check
from .memory import PictureBlock, _Memory


class Frame:
    """One decoded picture in device memory.

    Attributes: `index` (its place among the pictures this `frames()` call
    yielded, from 0), `number` (its place in its file in display order,
    from 0, whatever pass or seek made it; a photo's place in its folder;
    None where it cannot be known, as for a URL), `pts` (seconds, from the container's time stamps),
    `width`, `height`, `format` (one of FORMATS), `device` (the die holding
    it), `source` (the file or URL it came from), `damaged` (the decoder
    concealed damage in it) and `picture` (the
    `PictureBlock`: address, size and layout in device memory). The picture
    stays valid while the frame is referenced and its video is open.
    """

    __slots__ = ("index", "pts", "format", "source", "picture", "_memory", "_gone", "number", "_host")

    def __init__(self, index: int, pts: float, format: str, source: str, picture: PictureBlock,
                 memory: _Memory, number: Optional[int] = None) -> None:
        self.index = index
        self.number = number
        self._host: Optional[npt.NDArray[np.uint8]] = None
        self.pts = pts
        self.format = format
        self.source = source
        self.picture = picture
        self._memory = memory
        self._gone = False

    def __del__(self) -> None:
        if not self.picture.borrowed:
            self._memory.give(self.picture.nbytes, self.picture.address)

    def _live(self) -> PictureBlock:
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
            check(kycm.memcpy(picture.address, address_of(out), out.nbytes,
                              kycm.copyMemType.kycmCT_COPY_FROM_DEVICE), "kycm", "copying a frame to the host")
            return out
        return self._memory.resized(picture, self.format, format or self.format, size)

    def _exported(self) -> npt.NDArray[np.uint8]:
        """The host copy the array protocols hand out, made once a frame:
        device memory is not host memory (host code cannot read it), so
        consumers share this copy, which lives as long as any of them."""
        self._live()
        if self._host is None:
            self._host = self.to_numpy()
        return self._host

    def __dlpack__(self, *, stream: Optional[int] = None, **kwargs: Any) -> Any:
        """The picture (as `to_numpy()` shapes it) for `numpy.from_dlpack`
        and `torch.from_dlpack`: every consumer of one frame shares one host
        copy, kept alive by the capsule after the frame is dropped. A
        borrowed frame (`copy=False`) that is out of date raises
        ValueError."""
        if stream is not None and stream != -1:
            raise BufferError("a frame's export lives in host memory: stream must be None")
        return self._exported().__dlpack__()

    def __dlpack_device__(self) -> Tuple[int, int]:
        return (1, 0)  # kDLCPU: the export is a host copy

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> npt.NDArray[Any]:
        host = self._exported()
        if dtype is not None and np.dtype(dtype) != host.dtype:
            return host.astype(dtype)
        return host.copy() if copy else host

    def __repr__(self) -> str:
        return (f"<quillon.Frame {self.index} pts={self.pts:.6f} {self.width}x{self.height} {self.format} "
                f"device {self.device}>")
