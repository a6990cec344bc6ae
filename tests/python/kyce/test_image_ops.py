"""kyce image ops on device images against OpenCV, Pillow and numpy: every
op over formats and sizes, with the bytes around each output checked."""
import cv2
import numpy as np
import pytest
from PIL import Image as Pil

from images import BGR, FORMATS, GRAY, I420, NV12, PLANAR, RGB, device, desc, picture  # noqa: F401
from images import kyce

R = kyce.resizeType
CV = {R.kyceRESIZE_BILINEAR: cv2.INTER_LINEAR, R.kyceRESIZE_BILINEAR_CV: cv2.INTER_LINEAR,
      R.kyceRESIZE_NEAREST: cv2.INTER_NEAREST, R.kyceRESIZE_NEAREST_CV: cv2.INTER_NEAREST,
      R.kyceRESIZE_BICUBIC: cv2.INTER_CUBIC, R.kyceRESIZE_LANCZOS: cv2.INTER_LANCZOS4,
      R.kyceRESIZE_LANCZOS_CV: cv2.INTER_LANCZOS4}
PILLOW = {R.kyceRESIZE_BILINEAR_PILLOW: Pil.BILINEAR, R.kyceRESIZE_LANCZOS_PILLOW: Pil.LANCZOS,
          R.kyceRESIZE_BOX_PILLOW: Pil.BOX, R.kyceRESIZE_HAMMING_PILLOW: Pil.HAMMING,
          R.kyceRESIZE_BICUBIC_PILLOW: Pil.BICUBIC}
SIZES = [((98, 62), (34, 22)), ((62, 46), (100, 74)), ((98, 62), (98, 30))]  # down, up, one axis
ODD_SIZES = [((97, 61), (33, 71))]  # formats without 4:2:0 chroma


def resized(kind, plane, w, h):
    """The reference: cv2.resize, or Pillow's Image.resize band by band."""
    if kind == R.kyceRESIZE_NO_RESIZE:
        return plane
    if kind in CV:
        return cv2.resize(plane, (w, h), interpolation=CV[kind])
    bands = plane.reshape(plane.shape[0], plane.shape[1], -1)
    out = [np.asarray(Pil.fromarray(np.ascontiguousarray(bands[:, :, c])).resize((w, h), PILLOW[kind]))
           for c in range(bands.shape[2])]
    return np.dstack(out).reshape((h, w) + plane.shape[2:])


def resized_planes(kind, fmt, planes, w, h):
    return [resized(kind, p, w // (2 if i and fmt in (NV12, I420) else 1), h // (2 if i and fmt in (NV12, I420) else 1))
            for i, p in enumerate(planes)]


def assert_planes(got, expected, tolerance=0):
    for g, e in zip(got, expected):
        assert np.abs(g.astype(int) - e.astype(int)).max() <= tolerance


@pytest.mark.parametrize("kind", [k for k in R.__members__.values() if k != R.kyceRESIZE_BUTT])
def test_resize_matches_opencv_and_pillow_on_every_format(device, kind):
    for fmt in FORMATS:
        sizes = SIZES + (ODD_SIZES if fmt not in (NV12, I420) else [])
        for natural, ((sw, sh), (dw, dh)) in zip([True, False, True, True], sizes):
            if kind == R.kyceRESIZE_NO_RESIZE:
                dw, dh = sw, sh
            planes = picture(fmt, sw, sh, natural)
            src, dst = device(fmt, sw, sh, planes), device(fmt, dw, dh)
            assert kyce.resize(kind, src.desc, src.handle, dst.desc, dst.handle) == 0
            assert_planes(dst.planes(), resized_planes(kind, fmt, planes, dw, dh))


def test_scale_and_batch_crop_resize_equal_their_single_ops(device):
    planes = picture(NV12, 98, 62)
    src = device(NV12, 98, 62, planes)
    outs = [device(NV12, 40, 30), device(NV12, 64, 48)]
    kind = R.kyceRESIZE_BICUBIC_PILLOW
    assert kyce.scale(kind, src.desc, src.handle, [o.desc for o in outs], [o.handle for o in outs]) == 0
    for o in outs:
        assert_planes(o.planes(), resized_planes(kind, NV12, planes, o.w, o.h))
    rects = [rect(0, 0, 50, 40), rect(10, 4, 88, 58)]
    outs = [device(NV12, 32, 24), device(NV12, 32, 24)]
    assert kyce.batchCropResize(rects, R.kyceRESIZE_BILINEAR, src.desc, src.handle, outs[0].desc,
                                [o.handle for o in outs]) == 0
    for o, r in zip(outs, rects):
        cut = [planes[0][r.start_y:r.start_y + r.height, r.start_x:r.start_x + r.width],
               planes[1][r.start_y // 2:(r.start_y + r.height) // 2, r.start_x // 2:(r.start_x + r.width) // 2]]
        assert_planes(o.planes(), resized_planes(R.kyceRESIZE_BILINEAR, NV12, cut, 32, 24))


def rect(x, y, w, h):
    r = kyce.cropRect()
    r.start_x, r.start_y, r.width, r.height = x, y, w, h
    return r


@pytest.mark.parametrize("fmt", FORMATS)
def test_crop_and_flip_match_numpy(device, fmt):
    planes = picture(fmt, 64, 46, natural=False)
    src = device(fmt, 64, 46, planes)
    dst = device(fmt, 20, 14)
    assert kyce.crop(rect(6, 12, 20, 14), src.desc, src.handle, dst.desc, dst.handle) == 0
    half = 2 if fmt in (NV12, I420) else 1
    assert_planes(dst.planes(), [p[12 // (half if i else 1):, 6 // (half if i else 1):][:14 // (half if i else 1),
                                                                                       :20 // (half if i else 1)]
                                 for i, p in enumerate(planes)])
    if fmt not in (NV12, I420):
        return
    out = device(fmt, 64, 46)
    for axis, flip in [(kyce.flipType.kyceFLIP_X_AXIS, lambda p: p[::-1]),
                       (kyce.flipType.kyceFLIP_Y_AXIS, lambda p: p[:, ::-1]),
                       (kyce.flipType.kyceFLIP_BOTH_AXES, lambda p: p[::-1, ::-1])]:
        assert kyce.yuvFlip(axis, src.desc, src.handle, out.desc, out.handle) == 0
        assert_planes(out.planes(), [flip(p) for p in planes])
    # In place: the source is read as it was before the op.
    assert kyce.yuvFlip(kyce.flipType.kyceFLIP_BOTH_AXES, src.desc, src.handle, src.desc, src.handle) == 0
    assert_planes(src.planes(), [p[::-1, ::-1] for p in planes])


C = kyce.colorCvtCode
BT709 = np.array([[1.164384, 0.0, 1.792741], [1.164384, -0.213249, -0.532909], [1.164384, 2.112402, 0.0]])


def bt709_rgb(y, uv):
    """Float BT.709 limited-range decoding, rounded."""
    yuv = np.dstack([y - 16.0, np.repeat(np.repeat(uv - 128.0, 2, 0), 2, 1)])
    return np.clip(np.rint(yuv @ BT709.T), 0, 255)


def bt709_nv12(rgb):
    full = rgb.astype(float) @ [0.2126, 0.7152, 0.0722]
    tl = rgb[::2, ::2].astype(float)
    u = 128 + (tl[:, :, 2] - full[::2, ::2]) / 1.8556 * 224 / 255
    v = 128 + (tl[:, :, 0] - full[::2, ::2]) / 1.5748 * 224 / 255
    return [np.clip(np.rint(16 + full * 219 / 255), 0, 255), np.clip(np.rint(np.dstack([u, v])), 0, 255)]


def nv12_of_i420(i420, w, h):
    u, v = i420[h:].reshape(2, h // 2, w // 2)
    return [i420[:h], np.dstack([u, v])]


# code, source format, destination format, reference(planes) -> planes for BT.601 and for BT.709
CVT = [
    (C.kyceCOLOR_YUV2RGB_NV12, NV12, RGB, lambda p: [cv2.cvtColorTwoPlane(p[0], p[1], cv2.COLOR_YUV2RGB_NV12)],
     lambda p: [bt709_rgb(*p)]),
    (C.kyceCOLOR_YUV2BGR_NV12, NV12, BGR, lambda p: [cv2.cvtColorTwoPlane(p[0], p[1], cv2.COLOR_YUV2BGR_NV12)],
     lambda p: [bt709_rgb(*p)[:, :, ::-1]]),
    (C.kyceCOLOR_NO_CHANGE, I420, I420, lambda p: p, None),
    (C.kyceCOLOR_BGR2RGB, BGR, RGB, lambda p: [p[0][:, :, ::-1]], None),
    (C.kyceCOLOR_RGB2BGR, RGB, BGR, lambda p: [p[0][:, :, ::-1]], None),
    (C.kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR, BGR, PLANAR, lambda p: [p[0][:, :, i] for i in (2, 1, 0)], None),
    (C.kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR, RGB, PLANAR, lambda p: [p[0][:, :, i] for i in (2, 1, 0)], None),
    (C.kyceCOLOR_BGR2BGR_INTERLEAVE2PLANAR, BGR, PLANAR, lambda p: [p[0][:, :, i] for i in (0, 1, 2)], None),
    (C.kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR, RGB, PLANAR, lambda p: [p[0][:, :, i] for i in (0, 1, 2)], None),
    (C.kyceCOLOR_YUV2GRAY_NV12, NV12, GRAY, lambda p: [p[0]], None),
    (C.kyceCOLOR_BGR2GRAY_INTERLEAVE, BGR, GRAY, lambda p: [cv2.cvtColor(p[0], cv2.COLOR_BGR2GRAY)], None),
    (C.kyceCOLOR_RGB2GRAY_INTERLEAVE, RGB, GRAY, lambda p: [cv2.cvtColor(p[0], cv2.COLOR_RGB2GRAY)], None),
    (C.kyceCOLOR_RGB2GRAY_PLANAR, PLANAR, GRAY, lambda p: [cv2.cvtColor(np.dstack(p), cv2.COLOR_RGB2GRAY)], None),
    (C.kyceCOLOR_BGR2GRAY_PLANAR, PLANAR, GRAY, lambda p: [cv2.cvtColor(np.dstack(p), cv2.COLOR_BGR2GRAY)], None),
    (C.kyceCOLOR_RGB2YUV_NV12_PLANAR, RGB, NV12,
     lambda p: nv12_of_i420(cv2.cvtColor(p[0], cv2.COLOR_RGB2YUV_I420), 98, 62), lambda p: bt709_nv12(p[0])),
    (C.kyceCOLOR_RGB2YUV_NV12_PLANAR, PLANAR, NV12,
     lambda p: nv12_of_i420(cv2.cvtColor(np.dstack(p), cv2.COLOR_RGB2YUV_I420), 98, 62),
     lambda p: bt709_nv12(np.dstack(p))),
    (C.kyceCOLOR_BGR2YUV_NV12_PLANAR, BGR, NV12,
     lambda p: nv12_of_i420(cv2.cvtColor(p[0], cv2.COLOR_BGR2YUV_I420), 98, 62),
     lambda p: bt709_nv12(p[0][:, :, ::-1])),
]


@pytest.mark.parametrize("code,src_fmt,dst_fmt,bt601,bt709", CVT)
def test_cvt_color_matches_opencv_and_the_bt709_matrix(device, code, src_fmt, dst_fmt, bt601, bt709):
    for natural in (True, False):
        planes = picture(src_fmt, 98, 62, natural)
        src, dst = device(src_fmt, 98, 62, planes), device(dst_fmt, 98, 62)
        assert kyce.cvtColor(code, kyce.colorSpace.kyceCOLOR_SPACE_BT601, src.desc, src.handle, dst.desc,
                             dst.handle) == 0
        assert_planes(dst.planes(), bt601(planes))
        # BT.709 is the op engine's own arithmetic against a float reference:
        # rounding of the last bit may differ, hence a bound of 1.
        assert kyce.cvtColor(code, kyce.colorSpace.kyceCOLOR_SPACE_BT709, src.desc, src.handle, dst.desc,
                             dst.handle) == 0
        assert_planes(dst.planes(), (bt709 or bt601)(planes), tolerance=1 if bt709 else 0)


def padding_values(*values):
    p = kyce.paddingValuesPy()
    p.value = list(values)
    return p


P = kyce.paddingType
BORDERS = {P.kyceEDGE_PADDING_TYPE_CONSTANT: cv2.BORDER_CONSTANT, P.kyceEDGE_PADDING_REPLICATE: cv2.BORDER_REPLICATE,
           P.kyceEDGE_PADDING_TYPE_REFLECT: cv2.BORDER_REFLECT}


@pytest.mark.parametrize("padding", list(BORDERS))
def test_warp_affine_and_borders_match_opencv(device, padding):
    matrix = kyce.affineMatrixPy()
    matrix.matrix = [0.8, 0.3, -5.5, -0.25, 0.9, 12.0]
    values = padding_values(10, 200, 77)
    for fmt in (RGB, GRAY, PLANAR):
        planes = picture(fmt, 98, 62)
        src, dst = device(fmt, 98, 62, planes), device(fmt, 70, 50)
        for mode, interp in [(kyce.warpAffineMode.kyceWARP_AFFINE_MODE_NEAREST, cv2.INTER_NEAREST),
                             (kyce.warpAffineMode.kyceWARP_AFFINE_MODE_BILINEAR, cv2.INTER_LINEAR)]:
            assert kyce.warpAffine(matrix, mode, padding, values, src.desc, src.handle, dst.desc, dst.handle) == 0
            m = np.array(matrix.matrix).reshape(2, 3)
            fill = [(10, 200, 77)] if fmt == RGB else [(10,), (200,), (77,)]
            assert_planes(dst.planes(), [cv2.warpAffine(p, m, (70, 50), flags=interp, borderMode=BORDERS[padding],
                                                        borderValue=fill[i]) for i, p in enumerate(planes)])
    edges = kyce.paddingEdges()
    edges.top, edges.bottom, edges.left, edges.right = 4, 8, 6, 2
    for fmt in FORMATS:
        planes = picture(fmt, 98, 62)
        src, dst = device(fmt, 98, 62, planes), device(fmt, 58, 42)
        assert kyce.resizeCopyMakeBorder(R.kyceRESIZE_BILINEAR_PILLOW, padding, values, edges, src.desc, src.handle,
                                         dst.desc, dst.handle) == 0
        inner = resized_planes(R.kyceRESIZE_BILINEAR_PILLOW, fmt, planes, 50, 30)
        fills = {NV12: [(10,), (200, 77)], I420: [(10,), (200,), (77,)], PLANAR: [(10,), (200,), (77,)],
                 RGB: [(10, 200, 77)], GRAY: [(10,)]}[fmt]
        assert_planes(dst.planes(), [cv2.copyMakeBorder(p, *(np.array([4, 8, 6, 2]) // (2 if i and fmt in (NV12, I420)
                                                                                        else 1)),
                                                        BORDERS[padding], value=fills[i]) for i, p in enumerate(inner)])
