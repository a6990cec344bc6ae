"""The op engine's fusion op for pictures on the die: resize, colour
conversion, normalisation and layout in one call, from an NV12, RGB or BGR
picture to a tensor or a small picture. Models make one to feed their input,
frames one to copy a resized RGB picture to the host."""
from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

from _quillon_pybind11 import kyce

from ._pictures import PICTURE_FORMATS
from .errors import call, check

_C = kyce.colorCvtCode
# Source format -> (image type, conversion to RGB, conversion to BGR). The op
# reads only whether an RGB source's channels are exchanged, which BGR2RGB
# says either way.
SOURCES = {
    "nv12": (PICTURE_FORMATS["nv12"].image_type, _C.kyceCOLOR_YUV2RGB_NV12, _C.kyceCOLOR_YUV2BGR_NV12),
    "rgb24": (PICTURE_FORMATS["rgb24"].image_type, _C.kyceCOLOR_NO_CHANGE, _C.kyceCOLOR_BGR2RGB),
    "bgr24": (PICTURE_FORMATS["bgr24"].image_type, _C.kyceCOLOR_BGR2RGB, _C.kyceCOLOR_NO_CHANGE),
}


def fusion_op(source: str, width: int, height: int, pitch: int, size: Tuple[int, int], *, norm: Any,
              tensorization: Any, blue_first: bool = False, mean: Optional[Sequence[float]] = None,
              std: Optional[Sequence[float]] = None) -> Any:
    """A new op (the caller destroys it) turning `source` pictures of
    `width` x `height`, rows `pitch` pixels apart, into `size` (width,
    height) bilinear, BT.601 for NV12. `source` must be a key of SOURCES."""
    image, to_rgb, to_bgr = SOURCES[source]
    if source == "nv12":
        # Resizing the planes first (one pass over the pixels it samples)
        # needs an even size; otherwise the picture is converted whole first.
        even = size[0] % 2 == 0 and size[1] % 2 == 0
        kind = (kyce.opType.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR if even else
                kyce.opType.kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR)
    else:
        kind = kyce.opType.kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR
    op = call(lambda: kyce.createOp(kind), "kyce", "cannot create the picture's preprocessing op")
    try:
        arrays: List[Tuple[str, Sequence[int]]] = [("input_desc", [width, height, pitch, height, int(image)]),
                                                   ("output_size", list(size))]
        elements: List[Tuple[str, Any]] = [
            ("resize_type", kyce.resizeType.kyceRESIZE_BILINEAR), ("cvt_code", to_bgr if blue_first else to_rgb),
            ("norm_type", norm), ("tensorization_type", tensorization)]
        if source == "nv12":
            elements.append(("color_space", kyce.colorSpace.kyceCOLOR_SPACE_BT601))
        for name, values in arrays:
            for index, value in enumerate(values):
                check(kyce.setKyceOPAttrArray(op, name, kyce.dataType.kyceDT_INT, kyce.paramType.kycePARAM_ARRAY,
                                              int(value), index), "kyce", f"cannot set the preprocessing's {name}")
        for name, member in elements:
            check(kyce.setKyceOPAttr(op, name, kyce.dataType.kyceDT_INT, kyce.paramType.kycePARAM_ELEMENT,
                                     int(member)), "kyce", f"cannot set the preprocessing's {name}")
        for name, floats in (("mean", mean or (0.0, 0.0, 0.0)), ("std", std or (1.0, 1.0, 1.0))):
            for index, number in enumerate(floats):
                check(kyce.setKyceOPAttrArray(op, name, kyce.dataType.kyceDT_FLOAT, kyce.paramType.kycePARAM_ARRAY,
                                              float(number), index), "kyce", f"cannot set the preprocessing's {name}")
    except BaseException:
        kyce.destroyOp(op)
        raise
    return op
