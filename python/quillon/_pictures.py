"""The picture formats the package hands between the card's engines, in one
table, and the op engine's description of a picture."""
from __future__ import annotations

from typing import Any, Dict, NamedTuple, Optional

from _quillon_pybind11 import kyce


class PictureFormat(NamedTuple):
    """A format by the package's name for it: the op engine's image type,
    and its bytes per pixel as a fraction (`per` / `pixels`)."""

    name: str
    image_type: Any
    per: int
    pixels: int

    def nbytes(self, width: int, height: int) -> int:
        return width * height * self.per // self.pixels


PICTURE_FORMATS: Dict[str, PictureFormat] = {f.name: f for f in (
    PictureFormat("nv12", kyce.imageType.kyceIMG_YUV_NV12, 3, 2),
    PictureFormat("rgb24", kyce.imageType.kyceIMG_RGB888, 3, 1),
    PictureFormat("bgr24", kyce.imageType.kyceIMG_BGR888, 3, 1),
    PictureFormat("gray", kyce.imageType.kyceIMG_GRAY, 1, 1),
    PictureFormat("rgb_planar", kyce.imageType.kyceIMG_RGB_PLANAR, 3, 1),
)}


def image_desc(width: int, height: int, image_type: Any, pitch: Optional[int] = None) -> Any:
    """A picture as the op engine's `kyce.imageDesc`: rows `pitch` pixels
    apart (default: packed), planes every `pitch` x `height`."""
    desc = kyce.imageDesc()
    desc.width, desc.height = width, height
    desc.widthPitch, desc.heightPitch = pitch or width, height
    desc.format = image_type
    return desc
