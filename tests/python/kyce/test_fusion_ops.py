"""Fusion ops against the same steps done with OpenCV, Pillow and numpy, and the image ops as op objects."""
import cv2
import numpy as np
import pytest

from images import BGR, GRAY, NV12, PLANAR, RGB, device, kycm, kyce, picture  # noqa: F401
from op_helpers import O, configure, desc_list, download
from test_image_ops import bt709_rgb, rect, resized

BASE = kyce.kyceER_BASE
R, N, T, C = kyce.resizeType, kyce.normType, kyce.tensorizationType, kyce.colorCvtCode
MEAN, STD = [0.485, 0.456, 0.406], [0.229, 0.224, 0.225]
# op type: (NV12 source, steps in the order its name gives them), for every fusion op
STEPS = {"RESIZE": "resize", "CVTCOLOR": "cvt", "2RGB": "cvt", "CROP": "crop", "LETTERBOX": "letterbox"}
RECIPES = {op: ("_YUV_" in op.name, " ".join(STEPS[word] for word in op.name.split("_") if word in STEPS))
           for op in O.__members__.values() if "FUSION" in op.name and op != O.kyceOP_FUSION_OP_MAX_NUM}


def letterbox_area(sw, sh, w, h, yuv):
    """(left, top, width, height) of the letterbox rule in docs/kyce.md."""
    if w * sh <= h * sw:
        iw, ih = w, (sh * w * 2 + sw) // (2 * sw)
    else:
        iw, ih = (sw * h * 2 + sh) // (2 * sh), h
    even = (lambda v: v & ~1) if yuv else (lambda v: v)
    iw, ih = min(max(even(iw), 2 if yuv else 1), w), min(max(even(ih), 2 if yuv else 1), h)
    return even((w - iw) // 2), even((h - ih) // 2), iw, ih


def reference_pixels(planes, yuv, steps, s):
    """The 3-channel picture the steps make, step by step with OpenCV/Pillow."""
    kind = s.get("resize_type", R.kyceRESIZE_BILINEAR)
    for step in steps.split():
        w, h = s["output_size"]
        if step == "resize":
            w, h = s.get("resize_size", (w, h))
            planes = [resized(kind, p, w // (2 if yuv and i else 1), h // (2 if yuv and i else 1))
                      for i, p in enumerate(planes)]
        elif step == "crop":
            x, y, cw, ch = s["crop_rect"]
            planes = [p[y // (1 + (yuv and i)):(y + ch) // (1 + (yuv and i)),
                        x // (1 + (yuv and i)):(x + cw) // (1 + (yuv and i))] for i, p in enumerate(planes)]
        elif step == "letterbox":
            left, top, iw, ih = letterbox_area(planes[0].shape[1], planes[0].shape[0], w, h, yuv)
            pad = s["padding_values"]
            fills = [pad[:1], pad[1:]] if yuv else [pad]
            out = []
            for i, (p, fill) in enumerate(zip(planes, fills)):
                d = 2 if yuv and i else 1
                canvas = np.empty((h // d, w // d) + p.shape[2:], np.uint8)
                canvas[...] = fill if len(fill) > 1 else fill[0]
                canvas[top // d:(top + ih) // d, left // d:(left + iw) // d] = resized(kind, p, iw // d, ih // d)
                out.append(canvas)
            planes = out
        elif yuv:  # cvt
            bgr = s.get("cvt_code") == C.kyceCOLOR_YUV2BGR_NV12
            if s.get("color_space") == kyce.colorSpace.kyceCOLOR_SPACE_BT709:
                rgb = bt709_rgb(*planes).astype(np.uint8)
                planes = [rgb[:, :, ::-1] if bgr else rgb]
            else:
                planes = [cv2.cvtColorTwoPlane(planes[0], np.ascontiguousarray(planes[1]),
                                               cv2.COLOR_YUV2BGR_NV12 if bgr else cv2.COLOR_YUV2RGB_NV12)]
            yuv = False
        elif s.get("cvt_code") == C.kyceCOLOR_BGR2RGB:
            planes = [planes[0][:, :, ::-1]]
    return planes[0]


def reference_tensor(pixels, norm, tensor, mean=MEAN, std=STD):
    x = pixels.astype(np.float32)
    m, d = np.float32(mean), np.float32(std)
    x = {N.kyceNORM_MINUSMEAN: lambda: x - m, N.kyceNORM_MINUSMEAN_DIVSTD: lambda: (x - m) / d,
         N.kyceNORM_DIV255_MINUSMEAN_DIVSTD: lambda: (x / np.float32(255) - m) / d,
         N.kyceNORM_DIV1275_MINUSONE: lambda: x / np.float32(127.5) - np.float32(1),
         N.kyceNORM_DIV255: lambda: x / np.float32(255)}.get(norm, lambda: x)()
    if tensor in (T.kyceTENSORIZATION_UINT8, T.kyceTENSORIZATION_UINT8_INTERLEAVE):
        x = np.clip(np.rint(x), 0, 255).astype(np.uint8)
    elif tensor != T.kyceTENSORIZATION_NONE:
        x = x.astype(np.float16)
    planar = tensor in (T.kyceTENSORIZATION_NONE, T.kyceTENSORIZATION_UINT8, T.kyceTENSORIZATION_FP16)
    return x.transpose(2, 0, 1) if planar else x


def run_fusion(device, op_type, src, s):
    op = configure(kyce.createOp(op_type), input_desc=desc_list(src.desc), **s)
    w, h = s["output_size"]
    tensor = s.get("tensorization_type", T.kyceTENSORIZATION_NONE)
    dtype = reference_tensor(np.zeros((1, 1, 3), np.uint8), N.kyceNORM_EQUAL, tensor).dtype
    out = kycm.malloc(w * h * 3 * dtype.itemsize)
    code = kyce.executeOp(op, src.handle, out)
    got = download(out, w * h * 3 * dtype.itemsize).view(dtype) if code == 0 else None
    kycm.free(out)
    kyce.destroyOp(op)
    return code, got


def assert_close(got, expected):
    """Exact, or one unit of the element type (float16: one unit in the last place)."""
    if expected.dtype == np.float16:
        got, expected = got.view(np.int16).astype(int), expected.view(np.int16).astype(int)
    elif expected.dtype == np.uint8:
        got, expected = got.astype(int), expected.astype(int)
    else:
        np.testing.assert_allclose(got, expected.reshape(-1), rtol=0, atol=0)
        return
    assert np.abs(got - expected.reshape(-1)).max() <= 1


def assert_op_equals_its_steps(device, op_type, src, planes, yuv, steps, s):
    code, got = run_fusion(device, op_type, src, s)
    assert code == 0
    pixels = reference_pixels(planes, yuv, steps, s)
    assert_close(got, reference_tensor(pixels, s["norm_type"], s["tensorization_type"], s.get("mean", MEAN),
                                       s.get("std", STD)))


SETTINGS = {"output_size": (32, 24), "mean": MEAN, "std": STD, "norm_type": N.kyceNORM_DIV255_MINUSMEAN_DIVSTD,
            "tensorization_type": T.kyceTENSORIZATION_FP16}


@pytest.mark.parametrize("op_type", list(RECIPES), ids=lambda t: t.name[15:])
def test_each_fusion_op_equals_its_steps(device, op_type):
    yuv, steps = RECIPES[op_type]
    fmt = NV12 if yuv else BGR
    planes = picture(fmt, 64, 48)
    src = device(fmt, 64, 48, planes)
    s = dict(SETTINGS, cvt_code=C.kyceCOLOR_YUV2RGB_NV12 if yuv else C.kyceCOLOR_BGR2RGB)
    order = steps.split()
    if "crop" in order:  # cut first then resized to the output, or cut from a resized picture
        s["crop_rect"] = (10, 4, 40, 34) if order[0] == "crop" else (6, 2, 32, 24)
    if "crop" in order and "resize" in order and order.index("crop") > order.index("resize"):
        s["resize_size"] = (44, 30)
    if "letterbox" in order:
        s.update(output_size=(32, 32), padding_values=(114, 20, 240))  # another aspect ratio: padded rows
    if order == ["cvt"]:
        s["output_size"] = (64, 48)
    assert_op_equals_its_steps(device, op_type, src, planes, yuv, steps, s)


def test_every_normalisation_and_tensor_layout(device):
    planes = picture(NV12, 48, 32)
    src = device(NV12, 48, 32, planes)
    s = {"output_size": (20, 14), "mean": [100.5, -3.25, 7.0], "std": [0.5, 3.0, 127.0]}
    for norm in [n for n in N.__members__.values() if n != N.kyceNORM_NORMALIZATION_NONE_BUTT]:
        for tensor in [t for t in T.__members__.values() if t != T.kyceTENSORIZATION_TYPE_BUTT]:
            assert_op_equals_its_steps(device, O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, src, planes,
                                       True, "resize cvt", dict(s, norm_type=norm, tensorization_type=tensor))


def test_fusion_colour_space_resampling_and_channel_order(device):
    planes = picture(NV12, 64, 48)
    src = device(NV12, 64, 48, planes)
    op_type = O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR
    for extra in ({"color_space": kyce.colorSpace.kyceCOLOR_SPACE_BT709},
                  {"cvt_code": C.kyceCOLOR_YUV2BGR_NV12, "resize_type": R.kyceRESIZE_BICUBIC_PILLOW},
                  {"resize_type": R.kyceRESIZE_NEAREST}):
        s = dict(SETTINGS, tensorization_type=T.kyceTENSORIZATION_UINT8_INTERLEAVE, norm_type=N.kyceNORM_EQUAL,
                 **extra)
        # BT.709 is the library's own arithmetic against a float reference: within 1.
        assert_op_equals_its_steps(device, op_type, src, planes, True, "resize cvt", s)


def test_fusion_refusals(device):
    nv12, rgb = device(NV12, 64, 48), device(RGB, 64, 48)
    op_type = O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR
    cases = [
        (rgb, op_type, {}, BASE + 2),
        (nv12, O.kyceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR, {"output_size": (64, 48)}, BASE + 2),
        (nv12, op_type, {"output_size": (31, 24)}, BASE + 4),  # odd NV12 resize
        (nv12, op_type, {"output_size": (0, 24)}, BASE + 4),
        (nv12, op_type, {"norm_type": 7}, BASE + 7),
        (nv12, op_type, {"tensorization_type": 6}, BASE + 7),
        (nv12, op_type, {"cvt_code": C.kyceCOLOR_BGR2RGB}, BASE + 7),
        (nv12, op_type, {"resize_type": R.kyceRESIZE_BUTT}, BASE + 7),
        (nv12, op_type, {"norm_type": N.kyceNORM_MINUSMEAN_DIVSTD, "std": (1.0, 0.0, 1.0)}, BASE + 8),
        (nv12, op_type, {"output_size": (640, 480)}, BASE + 6),  # tensor larger than its block
        (nv12, O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR,
         {"resize_size": (40, 30), "crop_rect": (0, 0, 30, 24)}, BASE + 4),  # crop is not the output's size
        (nv12, O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR,
         {"resize_size": (40, 2**30), "crop_rect": (0, 0, 32, 24)}, BASE + 4),  # bounded by neither block
    ]
    for src, kind, extra, expected in cases:
        op = configure(kyce.createOp(kind), input_desc=desc_list(src.desc), **dict({"output_size": (32, 24)}, **extra))
        out = kycm.malloc(32 * 24 * 3 * 4)
        assert kyce.executeOp(op, src.handle, out) == expected, extra
        assert kyce.executeOp(op, src.handle, None) in (BASE + 1, expected)
        kycm.free(out)
        kyce.destroyOp(op)


def test_image_ops_as_op_objects_equal_the_image_functions(device):
    planes = picture(NV12, 64, 48)
    src = device(NV12, 64, 48, planes)
    a, b = device(NV12, 32, 24), device(NV12, 32, 24)
    kind = R.kyceRESIZE_BICUBIC
    ours = {"input_desc": desc_list(src.desc), "output_desc": desc_list(a.desc)}

    def same(op_type, attributes, function_call):
        op = configure(kyce.createOp(op_type), **ours, **attributes)
        assert kyce.executeOp(op, src.handle, a.handle) == 0 and function_call() == 0
        assert (a.read() == b.read()).all()
        kyce.destroyOp(op)

    same(O.kyceOP_RESIZE, {"resize_type": kind}, lambda: kyce.resize(kind, src.desc, src.handle, b.desc, b.handle))
    same(O.kyceOP_CROP, {"crop_rect": (8, 6, 32, 24)},
         lambda: kyce.crop(rect(8, 6, 32, 24), src.desc, src.handle, b.desc, b.handle))
    # Two outputs packed in one block, each as large as its description.
    packed = device(GRAY, 32 * 24 * 3, 1)
    for op_type, attributes, function_call in [
        (O.kyceOP_SCALE, {"resize_type": kind, "count": 2, "output_descs": desc_list(a.desc) * 2, "output_desc": None},
         lambda outs: kyce.scale(kind, src.desc, src.handle, [o.desc for o in outs], [o.handle for o in outs])),
        (O.kyceOP_BATCH_CROP_RESIZE, {"resize_type": kind, "count": 2, "crop_rects": (0, 0, 40, 30, 10, 8, 54, 40)},
         lambda outs: kyce.batchCropResize([rect(0, 0, 40, 30), rect(10, 8, 54, 40)], kind, src.desc, src.handle,
                                           a.desc, [o.handle for o in outs])),
    ]:
        op = configure(kyce.createOp(op_type), **{k: v for k, v in {**ours, **attributes}.items() if v is not None})
        assert kyce.executeOp(op, src.handle, packed.handle) == 0 and function_call([a, b]) == 0
        size = a.desc.widthPitch * a.desc.heightPitch * 3 // 2
        assert (download(packed.handle, 2 * size) == np.concatenate([a.read()[:size], b.read()[:size]])).all()
        kyce.destroyOp(op)


# Bilinear NV12 resizes (then a crop) are one pass with its own copy of the
# resize arithmetic: every edge of it against cv2 step by step. (source size,
# resized size, crop or None)
ONE_PASS_GEOMETRIES = [
    ((64, 48), (32, 24), None),  # halved exactly: cv2 averages 2 x 2 blocks
    ((64, 48), (32, 24), (6, 2, 20, 16)),
    ((130, 74), (112, 112), None),  # up on one axis, down on the other
    ((34, 18), (16, 10), None),  # the last taps near the row's end
    ((18, 6), (2, 2), None),  # the smallest output
    ((6, 4), (40, 30), None),  # clamped at both edges
    ((2, 2), (8, 6), None),  # a chroma plane one pixel wide
    ((200, 100), (198, 98), None),
    ((64, 48), (40, 30), (2, 4, 20, 14)),
    ((64, 48), (40, 30), (20, 16, 20, 14)),  # the crop reaches the right and bottom edges
]


@pytest.mark.parametrize("source, resized, crop", ONE_PASS_GEOMETRIES)
def test_bilinear_nv12_pass_equals_the_steps(device, source, resized, crop):
    planes = picture(NV12, *source, natural=False, seed=sum(source))
    src = device(NV12, *source, planes)
    if crop is None:
        op_type, steps, s = O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, "resize cvt", {"output_size": resized}
    else:
        op_type, steps = O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR, "resize cvt crop"
        s = {"output_size": crop[2:], "resize_size": resized, "crop_rect": crop}
    for layout in ({"norm_type": N.kyceNORM_DIV255, "tensorization_type": T.kyceTENSORIZATION_NONE},
                   {"norm_type": N.kyceNORM_EQUAL, "tensorization_type": T.kyceTENSORIZATION_UINT8_INTERLEAVE,
                    "cvt_code": C.kyceCOLOR_YUV2BGR_NV12}):
        assert_op_equals_its_steps(device, op_type, src, planes, True, steps, dict(s, **layout))
