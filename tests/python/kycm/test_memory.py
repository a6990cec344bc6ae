"""Device memory, copies, fills and the numpy <-> host memory helpers."""

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import download, upload

kycm = quillon.kycm
CT = kycm.copyMemType

INVALID_ARGUMENT, NOT_INITIALIZED, INVALID_DEVICE, INVALID_HANDLE = 100001, 100002, 100004, 100005
INVALID_ADDRESS, OUT_OF_RANGE, WRONG_MEMORY_KIND, WRONG_DEVICE, WRONG_ALLOCATOR = 100013, 100014, 100015, 100050, 100051


def at(capsule, offset):
    """A handle `offset` bytes into a block, as C code would compute it."""
    return testctl.named_capsule(testctl.capsule_address(capsule) + offset, "offset")


class TestAllocationAndCopies:
    def test_accounting_per_device_double_free_and_the_allocator_that_frees(self, runtime):
        before = testctl.device_memory_used(0)
        a, b = kycm.malloc(1000), kycm.mallocModelInOut(24)
        assert testctl.device_memory_used(0) == before + 1024
        kycm.setDevice(1)
        c = kycm.malloc(10)
        assert testctl.device_memory_used(1) == 10
        assert kycm.free(a) == 0 and kycm.freeModelInOut(b) == 0 and kycm.free(c) == 0
        assert testctl.device_memory_used(0) == before and testctl.device_memory_used(1) == 0
        assert kycm.free(a) == kycm.free(at(c, 4)) == INVALID_ADDRESS
        # Each block is freed only by its own allocator.
        plain, model = kycm.malloc(64), kycm.mallocModelInOut(64)
        assert kycm.freeModelInOut(plain) == kycm.free(model) == WRONG_ALLOCATOR
        assert testctl.device_memory_blocks(-1) == 2 and kycm.free(plain) == kycm.freeModelInOut(model) == 0

    def test_refused_frees_empty_results_and_no_runtime(self, runtime):
        assert (kycm.free(None), kycm.free(kycm.getHandleFromNumpy([1]))) == (INVALID_ARGUMENT, WRONG_MEMORY_KIND)
        testctl.arm_empty("kycmMallocModelInOut")
        assert kycm.mallocModelInOut(8) is None
        kycm.uninitialize()
        pytest.raises(RuntimeError, kycm.malloc, 8).match(rf"^malloc error, ret: {NOT_INITIALIZED}\.$")

    def test_round_trip_device_to_device_and_into_the_callers_memory(self, runtime):
        data = np.arange(256, dtype=np.uint8)
        a, b, target = upload(data), kycm.malloc(256), np.zeros(32, np.uint8)
        assert kycm.memcpy(a, b, 256, CT.kycmCT_COPY_DEVICE_TO_DEVICE) == 0
        assert np.array_equal(download(b, 256), data)
        # overlapping ranges of one block move as by memmove
        assert kycm.memcpy(a, at(a, 1), 255, CT.kycmCT_COPY_DEVICE_TO_DEVICE) == 0
        assert np.array_equal(download(a, 256)[1:], data[:255])
        outside = testctl.named_capsule(target.ctypes.data, "numpy data")
        assert kycm.memcpy(b, outside, 32, CT.kycmCT_COPY_FROM_DEVICE) == 0 and target.tolist() == list(range(32))

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
        device = upload(np.full(64, 5, np.uint8))
        host = kycm.getHandleFromNumpy(np.zeros(64, np.uint8))
        to_host = CT.kycmCT_COPY_FROM_DEVICE
        assert kycm.memcpy(at(device, 32), host, 32, to_host) == 0
        for source, destination, size in [(at(device, 32), host, 33), (device, at(host, 1), 64), (device, host, 65)]:
            assert kycm.memcpy(source, destination, size, to_host) == OUT_OF_RANGE
        assert kycm.getNumpyFromHandle(host, 64).tolist() == [5] * 32 + [0] * 32
        kycm.free(device)
        assert kycm.memcpy(device, host, 1, to_host) == INVALID_ADDRESS

    def test_between_devices_and_async_forms_on_the_default_stream(self, runtime):
        a, host = upload(np.arange(16, dtype=np.uint8)), kycm.getHandleFromNumpy(np.zeros(16, np.uint8))
        kycm.setDevice(1)
        b = kycm.malloc(16)
        assert kycm.memsetAsync(a, 9, 4, None) == kycm.memcpyDevicesAsync(a, 0, b, 1, 16, None) == 0
        assert kycm.memcpyAsync(b, host, 16, CT.kycmCT_COPY_FROM_DEVICE, None) == 0
        assert kycm.getNumpyFromHandle(host, 16).tolist() == [9] * 4 + list(range(4, 16))
        # Each address must lie on the device named with it, the source's and the destination's
        # alike; a refused copy moves nothing.
        cases = ((1, 1, 16), (0, 0, 16), (1, 0, 16), (0, 7, 16), (0, 1, 17))
        kycm.memset(a, 1, 16)
        for copy in (kycm.memcpyDevices, lambda *args: kycm.memcpyDevicesAsync(*args, None)):
            assert [copy(a, d, b, e, n) for d, e, n in cases] == [WRONG_DEVICE] * 3 + [INVALID_DEVICE, OUT_OF_RANGE]
        assert kycm.memcpy(b, host, 16, CT.kycmCT_COPY_FROM_DEVICE) == 0
        assert kycm.getNumpyFromHandle(host, 16).tolist() == [9] * 4 + list(range(4, 16))

    def test_arguments_reach_the_library(self, runtime, journal):
        device = kycm.malloc(8)
        kycm.memcpyAsync(device, None, 8, CT.kycmCT_COPY_FROM_DEVICE, None)
        kycm.memcpyDevices(device, 0, device, 1, 2**64 - 1)
        assert journal()[-2:] == [("kycmMemcpyAsync", (True, None, 8, 0, None)),
                                  ("kycmMemcpyDevices", (True, 0, True, 1, 2**64 - 1))]

    def test_refused_arguments(self, runtime, journal):
        device = kycm.malloc(8)
        for call, args in [(kycm.memcpy, (device, device, 8, 2)), (kycm.memset, (device, 2**31, 8))]:
            pytest.raises(TypeError, lambda: call(*args))
        assert [name for name, _ in journal()] == ["kycmMalloc"]


class TestNumpyHelpers:
    def test_round_trip_gives_an_independent_copy_of_the_elements_in_order(self, runtime, journal):
        data = np.arange(1000, dtype=np.uint16).astype(np.uint8)
        handle = kycm.getHandleFromNumpy(data)
        data[:] = 0
        first = kycm.getNumpyFromHandle(handle, 1000)
        assert np.array_equal(first, np.arange(1000, dtype=np.uint16).astype(np.uint8))
        first[:] = 1
        assert kycm.getNumpyFromHandle(handle, 3).tolist() == [0, 1, 2] and first.flags.owndata
        # Elements are converted and taken in order.
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
        pytest.raises(RuntimeError, kycm.getHandleFromNumpy, huge).match(r"^malloc host error, ret: 7\.$")
        assert journal() == [("kycmMallocHost", (2**32 + 1, True))]

    def test_reads_that_cannot_be_served_raise(self, runtime):
        assert kycm.getNumpyFromHandle(None, 0).size == 0
        pytest.raises(ValueError, kycm.getNumpyFromHandle, None, 1).match("handle is None")
        pytest.raises(ValueError, lambda: kycm.getNumpyFromHandle(kycm.malloc(16), 16)).match("readable")
        unmapped = testctl.named_capsule(0x1000, "unmapped")
        pytest.raises(ValueError, kycm.getNumpyFromHandle, unmapped, 1).match("readable")
