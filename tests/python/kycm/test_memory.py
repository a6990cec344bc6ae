"""Device memory, copies, fills and the numpy <-> host memory helpers."""
import ctypes
import mmap
import signal
import subprocess
import sys

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import MODULE_DIR

kycm = quillon.kycm
CT = kycm.copyMemType

INVALID_ARGUMENT = 100001
NOT_INITIALIZED = 100002
INVALID_DEVICE = 100004
INVALID_HANDLE = 100005
OUT_OF_MEMORY = 100008
INVALID_ADDRESS = 100013
OUT_OF_RANGE = 100014
WRONG_MEMORY_KIND = 100015
WRONG_DEVICE = 100050
WRONG_ALLOCATOR = 100051
GIB = 1 << 30


def at(capsule, offset):
    """A handle `offset` bytes into a block, as C code would compute it."""
    return testctl.named_capsule(testctl.capsule_address(capsule) + offset, "offset")


def upload(data):
    """Device memory holding `data`."""
    data = np.asarray(data, dtype=np.uint8)
    host = kycm.getHandleFromNumpy(data)
    device = kycm.malloc(len(data))
    assert kycm.memcpy(host, device, len(data), CT.kycmCT_COPY_TO_DEVICE) == 0
    return device


def download(device, size):
    host = kycm.getHandleFromNumpy(np.zeros(size, np.uint8))
    assert kycm.memcpy(device, host, size, CT.kycmCT_COPY_FROM_DEVICE) == 0
    return kycm.getNumpyFromHandle(host, size)


def test_copy_type_enumeration():
    assert CT(2) == CT.kycmCT_COPY_DEVICE_TO_DEVICE
    assert [int(m) for m in CT.__members__.values()] == [0, 1, 2]
    assert not hasattr(kycm, "kycmCT_COPY_TO_DEVICE")


class TestAllocation:
    def test_accounting_per_device_and_double_free(self, runtime):
        before = testctl.device_memory_used(0)
        a, b = kycm.malloc(1000), kycm.mallocModelInOut(24)
        assert testctl.device_memory_used(0) == before + 1024
        kycm.setDevice(1)
        c = kycm.malloc(10)
        assert testctl.device_memory_used(1) == 10
        assert kycm.free(a) == 0 and kycm.freeModelInOut(b) == 0 and kycm.free(c) == 0
        assert testctl.device_memory_used(0) == before and testctl.device_memory_used(1) == 0
        assert kycm.free(a) == INVALID_ADDRESS
        assert kycm.free(at(c, 4)) == INVALID_ADDRESS

    def test_each_block_is_freed_only_by_its_own_allocator(self, runtime):
        plain, model = kycm.malloc(64), kycm.mallocModelInOut(64)
        assert kycm.freeModelInOut(plain) == WRONG_ALLOCATOR
        assert kycm.free(model) == WRONG_ALLOCATOR
        assert testctl.device_memory_blocks(-1) == 2
        assert kycm.free(plain) == 0 and kycm.freeModelInOut(model) == 0

    def test_capacity_is_shared_by_both_allocators(self, runtime):
        big = kycm.malloc(3 * GIB)  # never touched, so it costs no host memory
        with pytest.raises(RuntimeError, match=rf"^malloc model input error, ret: {OUT_OF_MEMORY}\.$"):
            kycm.mallocModelInOut(GIB + 1)
        with pytest.raises(RuntimeError, match=rf"^malloc error, ret: {OUT_OF_MEMORY}\.$"):
            kycm.malloc(5 * GIB)
        assert kycm.free(big) == 0
        assert kycm.freeModelInOut(kycm.mallocModelInOut(GIB + 1)) == 0

    def test_refused_frees(self, runtime):
        assert kycm.free(None) == INVALID_ARGUMENT
        assert kycm.free(kycm.getHandleFromNumpy([1])) == WRONG_MEMORY_KIND

    def test_library_failures_and_empty_results(self, runtime):
        with pytest.raises(RuntimeError, match=r"^malloc error, ret: 3\.$"):
            testctl.arm_failure("kycmMalloc", 3)
            kycm.malloc(8)
        testctl.arm_empty("kycmMallocModelInOut")
        assert kycm.mallocModelInOut(8) is None

    def test_not_initialized(self):
        kycm.uninitialize()
        with pytest.raises(RuntimeError, match=rf"^malloc error, ret: {NOT_INITIALIZED}\.$"):
            kycm.malloc(8)


class TestCopies:
    def test_round_trip_and_device_to_device(self, runtime):
        data = np.arange(256, dtype=np.uint8)
        a = upload(data)
        b = kycm.malloc(256)
        assert kycm.memcpy(a, b, 256, CT.kycmCT_COPY_DEVICE_TO_DEVICE) == 0
        assert np.array_equal(download(b, 256), data)
        # overlapping ranges of one block move as by memmove
        assert kycm.memcpy(a, at(a, 1), 255, CT.kycmCT_COPY_DEVICE_TO_DEVICE) == 0
        assert np.array_equal(download(a, 256)[1:], data[:255])

    def test_each_side_must_be_of_the_kind_the_copy_type_says(self, runtime):
        device = kycm.malloc(16)
        host = kycm.getHandleFromNumpy(np.zeros(16, np.uint8))
        wrong = [(host, device, CT.kycmCT_COPY_FROM_DEVICE), (device, device, CT.kycmCT_COPY_FROM_DEVICE),
                 (device, device, CT.kycmCT_COPY_TO_DEVICE), (host, host, CT.kycmCT_COPY_TO_DEVICE),
                 (host, device, CT.kycmCT_COPY_DEVICE_TO_DEVICE), (device, host, CT.kycmCT_COPY_DEVICE_TO_DEVICE)]
        for source, destination, kind in wrong:
            assert kycm.memcpy(source, destination, 16, kind) == WRONG_MEMORY_KIND, kind
        assert kycm.memcpy(None, device, 16, CT.kycmCT_COPY_TO_DEVICE) == INVALID_ARGUMENT

    def test_ranges_must_lie_inside_live_blocks(self, runtime):
        device = upload(np.full(64, 5))
        host = kycm.getHandleFromNumpy(np.zeros(64, np.uint8))
        to_host = CT.kycmCT_COPY_FROM_DEVICE
        assert kycm.memcpy(at(device, 32), host, 32, to_host) == 0
        assert kycm.memcpy(at(device, 32), host, 33, to_host) == OUT_OF_RANGE
        assert kycm.memcpy(device, at(host, 1), 64, to_host) == OUT_OF_RANGE
        assert kycm.memcpy(device, host, 65, to_host) == OUT_OF_RANGE
        assert kycm.getNumpyFromHandle(host, 64).tolist() == [5] * 32 + [0] * 32
        kycm.free(device)
        assert kycm.memcpy(device, host, 1, to_host) == INVALID_ADDRESS

    def test_the_callers_own_host_memory(self, runtime):
        device = upload(np.arange(32))
        target = np.zeros(32, np.uint8)
        outside = testctl.named_capsule(target.ctypes.data, "numpy data")
        assert kycm.memcpy(device, outside, 32, CT.kycmCT_COPY_FROM_DEVICE) == 0
        assert target.tolist() == list(range(32))
        unmapped = testctl.named_capsule(0x1000, "unmapped")
        assert kycm.memcpy(device, unmapped, 32, CT.kycmCT_COPY_FROM_DEVICE) == INVALID_ADDRESS
        assert kycm.memcpy(unmapped, device, 32, CT.kycmCT_COPY_TO_DEVICE) == INVALID_ADDRESS

    def test_between_devices(self, runtime):
        source = upload(np.arange(100))
        kycm.setDevice(1)
        destination = kycm.malloc(100)
        assert kycm.memcpyDevices(source, 0, destination, 1, 100) == 0
        assert np.array_equal(download(destination, 100), np.arange(100))
        assert kycm.memcpyDevices(source, 1, destination, 1, 100) == WRONG_DEVICE
        assert kycm.memcpyDevices(source, 0, destination, 7, 100) == INVALID_DEVICE
        assert kycm.memcpyDevices(source, 0, destination, 1, 101) == OUT_OF_RANGE

    def test_memset_fills_with_the_low_byte(self, runtime, journal):
        device = upload(np.zeros(8))
        assert kycm.memset(device, 256 + 7, 6) == 0
        assert kycm.memset(device, -1, 1) == 0
        assert ("kycmMemset", (True, 263, 6)) in journal()
        assert download(device, 8).tolist() == [255, 7, 7, 7, 7, 7, 0, 0]
        assert kycm.memset(device, 0, 9) == OUT_OF_RANGE
        assert kycm.memset(kycm.getHandleFromNumpy([1]), 0, 1) == WRONG_MEMORY_KIND

    def test_async_forms_on_the_default_stream_are_done_on_return(self, runtime):
        a = upload(np.arange(16))
        kycm.setDevice(1)
        b = kycm.malloc(16)
        kycm.setDevice(0)
        host = kycm.getHandleFromNumpy(np.zeros(16, np.uint8))
        assert kycm.memsetAsync(a, 9, 4, None) == 0
        assert kycm.memcpyDevicesAsync(a, 0, b, 1, 16, None) == 0
        assert kycm.memcpyAsync(b, host, 16, CT.kycmCT_COPY_FROM_DEVICE, None) == 0
        assert kycm.getNumpyFromHandle(host, 16).tolist() == [9] * 4 + list(range(4, 16))

    def test_unknown_streams_are_refused_before_anything_moves(self, runtime):
        device = upload(np.zeros(4))
        stream = testctl.named_capsule(0x5000, "not a stream")
        host = kycm.getHandleFromNumpy([1, 2, 3, 4])
        assert kycm.memcpyAsync(host, device, 4, CT.kycmCT_COPY_TO_DEVICE, stream) == INVALID_HANDLE
        assert kycm.memsetAsync(device, 1, 4, device) == INVALID_HANDLE
        assert kycm.memcpyDevicesAsync(device, 0, device, 0, 4, stream) == INVALID_HANDLE
        assert download(device, 4).tolist() == [0, 0, 0, 0]

    def test_arguments_reach_the_library(self, runtime, journal):
        device = kycm.malloc(8)
        kycm.memcpyAsync(device, None, 8, CT.kycmCT_COPY_FROM_DEVICE, None)
        kycm.memcpyDevices(device, 0, device, 1, 2**64 - 1)
        calls = journal()
        assert ("kycmMemcpyAsync", (True, None, 8, 0, None)) in calls
        assert ("kycmMemcpyDevices", (True, 0, True, 1, 2**64 - 1)) in calls

    def test_refused_arguments(self, runtime, journal):
        device = kycm.malloc(8)
        for call in (lambda: kycm.memcpy(device, device, 8, 2), lambda: kycm.memset(device, 2**31, 8),
                     lambda: kycm.memset(device, 0, -1), lambda: kycm.malloc(2**64),
                     lambda: kycm.memcpyDevices(device, -1, device, 0, 8)):
            with pytest.raises(TypeError):
                call()
        assert [name for name, _ in journal()] == ["kycmMalloc"]


class TestNumpyHelpers:
    def test_round_trip_gives_an_independent_copy(self, runtime):
        data = np.arange(1000, dtype=np.uint16).astype(np.uint8)
        handle = kycm.getHandleFromNumpy(data)
        data[:] = 0
        first = kycm.getNumpyFromHandle(handle, 1000)
        assert np.array_equal(first, np.arange(1000, dtype=np.uint16).astype(np.uint8))
        first[:] = 1
        assert kycm.getNumpyFromHandle(handle, 3).tolist() == [0, 1, 2]
        assert first.flags.owndata and first.ndim == 1 and first.dtype == np.uint8

    def test_elements_are_converted_and_taken_in_order(self, runtime, journal):
        floats = kycm.getHandleFromNumpy([1.0, 2.0, 3.0])
        assert ("kycmMallocHost", (3, True)) in journal()
        assert kycm.getNumpyFromHandle(floats, 3).tolist() == [1, 2, 3]
        base = np.arange(100, dtype=np.uint8)
        for view in (base[::-1], base[::3], base.reshape(10, 10).T):
            handle = kycm.getHandleFromNumpy(view)
            assert np.array_equal(kycm.getNumpyFromHandle(handle, view.size), view.ravel())

    def test_the_full_64_bit_element_count_reaches_the_allocator(self, runtime, journal):
        huge = np.zeros(2**32 + 1, dtype=np.uint8)  # untouched zero pages
        testctl.arm_failure("kycmMallocHost", 7)
        with pytest.raises(RuntimeError, match=r"^malloc host error, ret: 7\.$"):
            kycm.getHandleFromNumpy(huge)
        assert journal() == [("kycmMallocHost", (2**32 + 1, True))]

    def test_reads_that_cannot_be_served_raise(self, runtime):
        assert kycm.getNumpyFromHandle(None, 0).size == 0
        with pytest.raises(ValueError, match="handle is None"):
            kycm.getNumpyFromHandle(None, 1)
        with pytest.raises(ValueError, match="readable"):
            kycm.getNumpyFromHandle(kycm.malloc(16), 16)
        with pytest.raises(ValueError, match="readable"):
            kycm.getNumpyFromHandle(testctl.named_capsule(0x1000, "unmapped"), 1)

    def test_a_range_running_into_an_inaccessible_page_is_refused(self, runtime):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                              ctypes.c_long]
        libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        page = mmap.PAGESIZE
        base = libc.mmap(None, 2 * page, mmap.PROT_READ | mmap.PROT_WRITE, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS,
                         -1, 0)
        assert base not in (None, ctypes.c_void_p(-1).value)
        try:
            assert libc.mprotect(base + page, page, 0) == 0  # PROT_NONE
            ctypes.memset(base + page - 4, 7, 4)
            assert kycm.getNumpyFromHandle(testctl.named_capsule(base + page - 4, "edge"), 4).tolist() == [7] * 4
            with pytest.raises(ValueError, match="readable"):
                kycm.getNumpyFromHandle(testctl.named_capsule(base + page - 2, "edge"), 4)
            with pytest.raises(ValueError, match="readable"):
                kycm.getFloat16Array(testctl.named_capsule(base + page - 2, "edge"), 4)
        finally:
            libc.munmap(base, 2 * page)


@pytest.mark.no_sanitizer  # expects the raw fault, which the sanitizer reports instead
def test_dereferencing_device_memory_from_the_host_faults(tmp_path):
    script = f"""
import ctypes, sys
sys.path.insert(0, {str(MODULE_DIR)!r})
import _quillon_pybind11 as quillon, _quillon_testctl as testctl
quillon.kycm.initialize()
address = testctl.capsule_address(quillon.kycm.malloc(64))
print("reading", flush=True)
ctypes.string_at(address, 1)
print("read it", flush=True)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout == "reading\n"
    assert done.returncode in (-signal.SIGSEGV, -signal.SIGBUS)
