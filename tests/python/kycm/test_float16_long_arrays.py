"""Arrays long enough to be converted in pieces on several threads convert
exactly as numpy does, whatever the length, with every kind of value (the
signalling NaNs that take the exact path among them) on each piece's edges."""
import numpy as np
import pytest

import _quillon_pybind11 as quillon

kycm = quillon.kycm
ALL_HALVES = np.arange(65536, dtype=np.uint32).astype(np.uint16)


@pytest.mark.parametrize("count", [(3 << 20) + 5, (9 << 20) - 3])  # 12 and 36 MiB of float32
def test_long_arrays_convert_like_numpy(count):
    halves = np.resize(np.roll(ALL_HALVES, count % 977), count)
    floats = halves.view(np.float16).astype(np.float32)
    assert np.array_equal(kycm.float16ToFloat32Array(halves).view(np.uint32), floats.view(np.uint32))
    with np.errstate(over="ignore"):  # the largest halves round to infinity
        floats[~np.isnan(floats)] *= 1.0009765625  # between halves: rounded
        expected = floats.astype(np.float16).view(np.uint16)
    assert np.array_equal(kycm.float32ToFloat16Array(floats), expected)
