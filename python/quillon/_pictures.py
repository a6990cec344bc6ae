"""The picture formats the package hands between the card's engines, in one
table, and the op engine's description of a picture."""
from __future__ import annotations

from typing import Any, Dict, NamedTuple, Optional, Protocol, runtime_checkable

from _quillon_pybind11 import kyce, kyme


class PictureFormat(NamedTuple):
    """A format by the package's name for it: the op engine's image type, the
    decoder's output format (None: the decoder does not give it), and its
    bytes per pixel as a fraction (`per` / `pixels`)."""

    name: str
    image_type: Any
    decoder_format: Any
    per: int
    pixels: int

    def nbytes(self, width: int, height: int) -> int:
        return width * height * self.per // self.pixels


PICTURE_FORMATS: Dict[str, PictureFormat] = {f.name: f for f in (
    PictureFormat("nv12", kyce.imageType.kyceIMG_YUV_NV12, kyme.pixelFormat.KYME_PIX_FMT_NV12, 3, 2),
    PictureFormat("rgb24", kyce.imageType.kyceIMG_RGB888, kyme.pixelFormat.KYME_PIX_FMT_RGB24, 3, 1),
    PictureFormat("bgr24", kyce.imageType.kyceIMG_BGR888, kyme.pixelFormat.KYME_PIX_FMT_BGR24, 3, 1),
    PictureFormat("gray", kyce.imageType.kyceIMG_GRAY, kyme.pixelFormat.KYME_PIX_FMT_GRAY8, 1, 1),
    PictureFormat("rgb_planar", kyce.imageType.kyceIMG_RGB_PLANAR, None, 3, 1),
)}


def image_desc(width: int, height: int, image_type: Any, pitch: Optional[int] = None) -> Any:
    """A picture as the op engine's `kyce.imageDesc`: rows `pitch` pixels
    apart (default: packed), planes every `pitch` x `height`."""
    desc = kyce.imageDesc()
    desc.width, desc.height = width, height
    desc.widthPitch, desc.heightPitch = pitch or width, height
    desc.format = image_type
    return desc


@runtime_checkable
class DevicePicture(Protocol):
    """What a model needs of a picture on a die (a decoded `Frame` is one):
    the device address of its pixels, packed without padding (for NV12 the
    chroma plane follows the luma plane), its size, its pixel format
    ("nv12", "rgb24" or "bgr24") and the die it is on."""

    @property
    def device_address(self) -> Any: ...

    @property
    def width(self) -> int: ...

    @property
    def height(self) -> int: ...

    @property
    def format(self) -> str: ...

    @property
    def device(self) -> int: ...
