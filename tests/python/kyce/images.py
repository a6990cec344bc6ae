"""Device images for the op tests: format layouts (pitches in pixels, planes
one after the other), upload with guard bytes, and reference pictures."""
import functools

import cv2
import numpy as np
import pytest

import _quillon_pybind11 as quillon
from conftest import download, pattern_video, upload

kycm, kyce = quillon.kycm, quillon.kyce
T = kyce.imageType
NV12, I420, PLANAR, RGB, BGR, GRAY = (T.kyceIMG_YUV_NV12, T.kyceIMG_YUV_I420, T.kyceIMG_RGB_PLANAR,
                                      T.kyceIMG_RGB888, T.kyceIMG_BGR888, T.kyceIMG_GRAY)
FORMATS = [NV12, I420, PLANAR, RGB, GRAY]
GUARD = 0xA5


def planes_geometry(fmt, w, h, wp, hp):
    """(offset, rows, cols, channels, row stride) of each plane, as docs/kyce.md gives them."""
    area = wp * hp
    if fmt == NV12:
        return [(0, h, w, 1, wp), (area, h // 2, w // 2, 2, wp)]
    if fmt == I420:
        return [(0, h, w, 1, wp), (area, h // 2, w // 2, 1, wp // 2), (area + area // 4, h // 2, w // 2, 1, wp // 2)]
    if fmt == PLANAR:
        return [(i * area, h, w, 1, wp) for i in range(3)]
    if fmt in (RGB, BGR):
        return [(0, h, w, 3, wp * 3)]
    return [(0, h, w, 1, wp)]


def nbytes(fmt, wp, hp):
    return {NV12: 3, I420: 3, PLANAR: 6, RGB: 6, BGR: 6, GRAY: 2}[fmt] * wp * hp // 2


def plane_views(buf, fmt, w, h, wp, hp):
    views = []
    for offset, rows, cols, ch, stride in planes_geometry(fmt, w, h, wp, hp):
        view = np.lib.stride_tricks.as_strided(buf[offset:], (rows, cols, ch), (stride, ch, 1))
        views.append(view if ch > 1 else view[:, :, 0])
    return views


class Image:
    """An image in device memory with pitch padding and a trailing guard."""

    def __init__(self, fmt, w, h, planes=None, pad=2, extra=64):
        self.fmt, self.w, self.h = fmt, w, h
        self.desc = desc(fmt, w, h, w + pad, h + pad)
        self.buf = np.full(nbytes(fmt, w + pad, h + pad) + extra, GUARD, np.uint8)
        if planes is not None:
            for view, plane in zip(self.views(self.buf), planes):
                view[...] = plane
        self.handle = upload(self.buf)

    def views(self, buf):
        return plane_views(buf, self.fmt, self.w, self.h, self.desc.widthPitch, self.desc.heightPitch)

    def read(self):
        return download(self.handle, self.buf.size)

    def planes(self):
        """The planes after an op; every byte outside them must be as uploaded."""
        data = self.read()
        got = [np.array(v) for v in self.views(data)]
        untouched = self.buf.copy()
        for view, plane in zip(self.views(untouched), got):
            view[...] = plane
        assert np.array_equal(data, untouched), "bytes outside the output description were written"
        return got

    def free(self):
        kycm.free(self.handle)


def desc(fmt, w, h, wp=None, hp=None):
    d = kyce.imageDesc()
    d.width, d.height, d.widthPitch, d.heightPitch, d.format = w, h, wp or w, hp or h, fmt
    return d


@functools.lru_cache(maxsize=None)
def natural_rgb(w, h):
    """A natural-looking picture (gradients, text, colour bars); odd sizes are cut from the next even one."""
    ew, eh = w + w % 2, h + h % 2
    raw = pattern_video("-", "-f", "rawvideo", "-pix_fmt", "rgb24", size=f"{ew}x{eh}", frames=1)
    return np.frombuffer(raw, np.uint8).reshape(eh, ew, 3)[:h, :w]


def picture(fmt, w, h, natural=True, seed=0):
    """The planes of a w x h picture in `fmt` (natural or random)."""
    rgb = natural_rgb(w, h) if natural else np.random.default_rng(seed).integers(0, 256, (h, w, 3), np.uint8)
    if fmt in (NV12, I420):
        yuv = cv2.cvtColor(rgb, cv2.COLOR_RGB2YUV_I420)
        y, u, v = yuv[:h], yuv[h:].reshape(2, h // 2, w // 2)[0], yuv[h:].reshape(2, h // 2, w // 2)[1]
        return [y, np.dstack([u, v])] if fmt == NV12 else [y, u, v]
    if fmt == PLANAR:
        return [rgb[:, :, i].copy() for i in range(3)]
    if fmt == GRAY:
        return [cv2.cvtColor(rgb, cv2.COLOR_RGB2GRAY)]
    return [rgb if fmt == RGB else rgb[:, :, ::-1].copy()]


@pytest.fixture
def device(runtime):
    """Makes device images and frees them after the test."""
    runtime.setDevice(0)
    made = []

    def make(*args, **kwargs):
        made.append(Image(*args, **kwargs))
        return made[-1]

    yield make
    for image in made:
        image.free()
