"""Element sizes, float16 conversions, host memory and device identity."""
import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl

kycm = quillon.kycm

ALL_HALVES = np.arange(65536, dtype=np.uint32).astype(np.uint16)


def float_sample(count=1 << 20, seed=7):
    """Random float32 bit patterns (NaNs and infinities included), plus every
    kind of tie: halfway between two normal halves, two subnormal halves, and
    at the edges of the half range."""
    rng = np.random.default_rng(seed)
    bits = rng.integers(0, 2**32, count, dtype=np.uint64).astype(np.uint32)
    halves = rng.integers(0, 0x7c00, count // 4, dtype=np.uint32).astype(np.uint16)
    low = halves.view(np.float16).astype(np.float32).astype(np.float64)
    high = (halves + 1).view(np.float16).astype(np.float32).astype(np.float64)
    ties = ((low + high) / 2).astype(np.float32)  # exact: the midpoint fits in float32
    edges = np.array([65504, 65519.99, 65520, 65536, 2.0**-24, 2.0**-25, 2.0**-25 * 1.0000001, 2.0**-14, 1.5 * 2.0**-24,
                      2.5 * 2.0**-24, 1e-45, 3.4e38, 0.0, 1.00048828125, 1.00146484375], dtype=np.float32)
    values = np.concatenate([bits.view(np.float32), ties, -ties, edges, -edges])
    return values


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint8), np.asarray(b).view(np.uint8))


def same_through_python_floats(a, b):
    """Equal bits, except that a signalling NaN comes back quiet: a Python
    float (a double) cannot carry one."""
    a, b = np.asarray(a), np.asarray(b)
    nan = np.isnan(a.view(np.float16) if a.dtype == np.uint16 else a)
    return np.array_equal(a[~nan], b[~nan]) and np.isnan(b.view(a.dtype)[nan].view(
        np.float16 if a.dtype == np.uint16 else np.float32)).all()


def test_every_half_converts_like_numpy():
    expected = ALL_HALVES.view(np.float16).astype(np.float32)
    assert same_bits(kycm.float16ToFloat32Array(ALL_HALVES), expected)
    scalar = np.array([kycm.float16ToFloat32(int(h)) for h in ALL_HALVES], dtype=np.float32)
    assert same_through_python_floats(expected, scalar)
    # Back again: every half, NaN payloads included, survives the round trip.
    assert same_bits(kycm.float32ToFloat16Array(expected), ALL_HALVES)
    # Arrays long enough to be converted in two halves on two threads: every
    # half, 80 times over and a few more, so that each lands on both sides.
    many = np.concatenate([np.tile(ALL_HALVES, 80), ALL_HALVES[:12345]])
    floats = kycm.float16ToFloat32Array(many)
    assert same_bits(floats, many.view(np.float16).astype(np.float32))
    assert same_bits(kycm.float32ToFloat16Array(floats), many)


def test_large_results_reuse_freed_blocks_without_sharing_live_ones():
    # Results of 1 MiB and more come from blocks earlier results left: the
    # next result of a size that fits gets the freed block, written through,
    # while results still alive never share memory.
    halves = np.tile(ALL_HALVES, 8)  # 2 MiB of float32
    first = kycm.float16ToFloat32Array(halves)
    address = first.ctypes.data
    turned = halves[::-1].copy()
    second = kycm.float16ToFloat32Array(turned)
    assert not np.shares_memory(first, second)
    del first
    shorter = halves[: 6 * 65536 + 7]  # three quarters of the freed block: it fits
    again = kycm.float16ToFloat32Array(shorter)
    assert again.ctypes.data == address and again.shape == (shorter.size,)
    assert same_bits(again, shorter.view(np.float16).astype(np.float32))
    assert same_bits(second, turned.view(np.float16).astype(np.float32))
    # A result lives as long as anything uses its memory, not its array.
    view = again[5:9]
    del again
    other = kycm.float16ToFloat32Array(turned[: shorter.size])  # other values, were the block taken
    assert same_bits(view, shorter[5:9].view(np.float16).astype(np.float32))
    assert not np.shares_memory(view, other)
    back = kycm.float32ToFloat16Array(second)
    assert same_bits(back, turned) and back.flags.writeable


@pytest.mark.filterwarnings("ignore:overflow encountered")
def test_floats_round_like_numpy():
    values = float_sample()
    expected = values.astype(np.float16).view(np.uint16)
    assert same_bits(kycm.float32ToFloat16Array(values), expected)
    some = np.concatenate([values[::97], values[-30:]])  # and every edge
    scalar = np.array([kycm.float32ToFloat16(float(v)) for v in some], dtype=np.uint16)
    assert same_through_python_floats(some.astype(np.float16).view(np.uint16), scalar)


def test_portable_path_gives_the_same_bits(tmp_path):
    script = (
        "import sys, numpy as np; sys.path.insert(0, sys.argv[1]); sys.path.insert(0, sys.argv[2]);"
        "import _quillon_pybind11 as q; from test_utilities import float_sample, ALL_HALVES;"
        "v = float_sample(1 << 16); k = q.kycm;"
        "assert (k.float32ToFloat16Array(v) == v.astype(np.float16).view(np.uint16)).all();"
        "f = k.float16ToFloat32Array(ALL_HALVES);"
        "assert (f.view(np.uint32) == ALL_HALVES.view(np.float16).astype(np.float32).view(np.uint32)).all()")
    module_dir = os.path.dirname(quillon.__file__)
    env = dict(os.environ, QUILLON_FLOAT16_PORTABLE="1")
    subprocess.run([sys.executable, "-c", script, module_dir, os.path.dirname(__file__)], env=env, check=True)


def test_array_inputs_are_cast_and_flattened():
    halves = np.arange(0x3c00, 0x3c00 + 64, dtype=np.uint16)
    assert kycm.float16ToFloat32Array(halves.reshape(8, 8)).shape == (64,)
    assert kycm.float32ToFloat16Array([1.0, 0.5]).tolist() == [0x3c00, 0x3800]  # lists and float64 are cast


def test_conversions_reach_the_library(journal):
    empty = kycm.float32ToFloat16Array(np.array([], dtype=np.float32))
    assert empty.dtype == np.uint16 and empty.size == 0 and journal()[-1][1][1] == 0
    for bad in (65536, -1):
        pytest.raises(TypeError, kycm.float16ToFloat32, bad)
    pytest.raises(TypeError, kycm.float32ToFloat16, "1.0")
    testctl.clear_journal()
    assert np.isnan(kycm.float16ToFloat32(65535)) and journal() == [("kycmFloat16ToFloat32", (65535, True))]
    assert kycm.float32ToFloat16(1.0) == 0x3c00 and type(kycm.float32ToFloat16(1.0)) is int


def test_a_count_that_fits_32_bits_is_one_call(journal):
    halves = np.zeros(2**30 + 1, dtype=np.uint16)  # untouched zero pages, never converted
    testctl.arm_failure("kycmFloat16ToFloat32Array", 9)
    pytest.raises(RuntimeError, kycm.float16ToFloat32Array, halves).match(r"^float16 to float32 array error, ret: 9\.$")
    assert journal() == [("kycmFloat16ToFloat32Array", (True, 2**30 + 1, True))]


def test_float16_array_from_host_memory(runtime):
    block = kycm.mallocHost(6)
    ctypes.memmove(testctl.capsule_address(block), np.array([1, 2, 0xffff], np.uint16).tobytes(), 6)
    assert kycm.getFloat16Array(block, 5).tolist() == [1, 2] and kycm.getFloat16Array(block, 0).size == 0
    # Without memory there is nothing to copy: zeros of the asked length.
    assert kycm.getFloat16Array(None, 6).tolist() == [0, 0, 0]


def test_data_type_sizes_and_host_memory(runtime):
    sizes = [kycm.getDataTypeSize(kind) for kind in list(kycm.dType.__members__.values())[:-1]]
    assert sizes == [1, 1, 2, 2, 4, 4, 2, 4, 2]
    pytest.raises(RuntimeError, kycm.getDataTypeSize, kycm.dType.kycmDT_ANY).match(r"ret: 100019\.$")
    block = kycm.mallocHost(128)
    assert (kycm.freeHost(block), kycm.freeHost(block), kycm.freeHost(None)) == (0, 100013, 100001)
    pytest.raises(RuntimeError, kycm.mallocHost, 0).match(r"^malloc host error, ret: 100001\.$")
    testctl.arm_empty("kycmMallocHost")
    assert kycm.mallocHost(8) is None


def test_device_id_info(runtime):
    ids = kycm.getDeviceIdInfo(0)
    assert ids == [0, 0, 0x3b] and all(type(v) is int for v in ids)
    pytest.raises(RuntimeError, kycm.getDeviceIdInfo, 2).match(r"^get device id info error, ret: 100004\.$")
    kycm.uninitialize()
    config = '{"cards": [{"card_id": 7, "pci_bus_id": "0000:5e:00.0", "dies": 1}, {"card_id": 9, "dies": 2}]}'
    assert kycm.initialize(config) == 0 and kycm.getDeviceIdInfo(0) == [7, 0, 0x5e]
    assert [kycm.getDeviceIdInfo(d)[:2] for d in range(1, 3)] == [[9, 0], [9, 1]]
