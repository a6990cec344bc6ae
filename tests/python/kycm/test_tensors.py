"""Tensors and the shape adaptor."""
import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import device_info as info, shape

kycm = quillon.kycm

INVALID_HANDLE, INVALID_ADDRESS, OUT_OF_RANGE = 100005, 100013, 100014
INVALID_SHAPE, INVALID_DATA_TYPE, OWNED_BY_TENSOR = 100018, 100019, 100031


def test_shape_adaptor():
    s = kycm.shape()
    assert s.ndims == 0 and s.shapes == []
    s.shapes = (1, 2, 3, 4)
    s.shapes.append(5)  # reading gives a new list
    assert s.shapes == [1, 2, 3, 4]
    pytest.raises(TypeError, setattr, s, "shapes", [1.5])


def test_life_cycle_on_a_device(runtime):
    before = testctl.device_memory_used(1)
    tensor = kycm.createTensor(info(index=1), shape(1, 3, 224, 224), kycm.dType.kycmDT_FLOAT32)
    assert kycm.getTensorSize(tensor) == testctl.device_memory_used(1) - before == 3 * 224 * 224 * 4
    out, device = kycm.shape(), kycm.deviceInfo()
    assert kycm.getTensorShape(tensor, out) == 0 and (out.ndims, out.shapes) == (4, [1, 3, 224, 224])
    assert kycm.getTensorDeviceInfo(tensor, device) == 0 and device.deviceIdx == 1
    assert kycm.setTensorDataType(tensor, kycm.dType.kycmDT_FLOAT16) == 0
    assert kycm.getTensorSize(tensor) == 3 * 224 * 224 * 2
    # The memory does not grow with the shape.
    assert kycm.setTensorShape(tensor, shape(4, 3, 224, 224)) == OUT_OF_RANGE
    assert kycm.setTensorDataType(tensor, kycm.dType.kycmDT_ANY) == INVALID_DATA_TYPE
    # A failed read leaves the adaptor as it was.
    testctl.arm_failure("kycmGetTensorShape", 5)
    out = shape(9, 9)
    assert kycm.getTensorShape(tensor, out) == 5 and (out.ndims, out.shapes) == (2, [9, 9])
    assert kycm.destroyTensor(tensor) == 0 and testctl.device_memory_used(1) == before
    assert kycm.destroyTensor(tensor) == INVALID_HANDLE
    pytest.raises(RuntimeError, kycm.getTensorSize, tensor).match(r"^get tensor size error, ret: 100005\.$")
    # Resetting a device releases its tensors.
    tensor = kycm.createTensor(info(index=1), shape(1024), kycm.dType.kycmDT_UINT8)
    assert kycm.resetDevice(1) == 0 and testctl.device_memory_used(1) == 0
    assert kycm.destroyTensor(tensor) == INVALID_HANDLE


def test_what_the_library_receives(runtime, journal):
    # ndims as the caller set it, one slot per listed dimension.
    tensor = kycm.createTensor(info(), shape(2, 3, 4, 5, ndims=3), kycm.dType.kycmDT_INT16)
    assert journal()[-1] == ("kycmCreateTensor", (14, 0, 3, 2, 3, 4, 5, 0, 0, 3, True))
    assert kycm.getTensorSize(tensor) == 2 * 3 * 4 * 2
    host = kycm.mallocHost(8)
    testctl.clear_journal()
    for flag in (None, np.bool_(True), False, 1):
        t = kycm.createTensorWithDataHandle(info(kycm.deviceType.kycmDE_CPU), shape(2), kycm.dType.kycmDT_UINT8,
                                            host, flag)
        kycm.setTensorDataHandle(t, host, False)  # hand the memory back before the next round
        kycm.destroyTensor(t)
    assert [args[-2] for name, args in journal() if name == "kycmCreateTensorWithDataHandle"] == [0, 1, 0, 1]


@pytest.mark.parametrize("call", [
    lambda s: kycm.createTensor(info(), s, kycm.dType.kycmDT_UINT8),
    lambda s: kycm.createTensorWithDataHandle(info(), s, kycm.dType.kycmDT_UINT8, None, False),
    lambda s: kycm.setTensorShape(None, s),
])
def test_refused_before_the_library(runtime, journal, call):
    pytest.raises(TypeError, call, None).match("shape")
    pytest.raises(ValueError, lambda: call(shape(*range(1, 8)))).match("at most 6")
    with pytest.raises(TypeError, match=r"^createTensor\(\): the deviceInfo argument must not be None$"):
        kycm.createTensor(None, shape(1), kycm.dType.kycmDT_UINT8)
    assert journal() == []


def test_shapes_the_library_refuses(runtime):
    for bad, kind, code in [(shape(1, 2, ndims=7), "kycmDT_UINT8", INVALID_SHAPE),
                            (shape(2, -1), "kycmDT_UINT8", INVALID_SHAPE),
                            (shape(4), "kycmDT_ANY", INVALID_DATA_TYPE),
                            (shape(1 << 40), "kycmDT_UINT8", 100008)]:  # beyond the device's memory
        pytest.raises(RuntimeError, kycm.createTensor, info(), bad, getattr(kycm.dType, kind)).match(rf"ret: {code}\.$")
    empty = kycm.createTensor(info(), shape(0, 5), kycm.dType.kycmDT_UINT8)
    assert kycm.getTensorSize(empty) == 0 and kycm.getTensorDataHandle(empty) is None


def test_ownership_of_a_data_handle(runtime):
    cpu = info(kycm.deviceType.kycmDE_CPU)
    host = kycm.mallocHost(64)
    borrowed = kycm.createTensorWithDataHandle(cpu, shape(16), kycm.dType.kycmDT_FLOAT32, host, False)
    assert testctl.capsule_address(kycm.getTensorDataHandle(borrowed)) == testctl.capsule_address(host)
    kycm.destroyTensor(borrowed)

    owner = kycm.createTensorWithDataHandle(cpu, shape(16), kycm.dType.kycmDT_FLOAT32, host, True)
    assert kycm.freeHost(host) == OWNED_BY_TENSOR
    pytest.raises(RuntimeError, kycm.createTensorWithDataHandle, cpu, shape(16), kycm.dType.kycmDT_FLOAT32, host,
                  True).match(rf"ret: {OWNED_BY_TENSOR}\.$")
    assert kycm.destroyTensor(owner) == 0 and kycm.freeHost(host) == INVALID_ADDRESS  # freed with its tensor


def test_data_handle_checks(runtime):
    cpu = info(kycm.deviceType.kycmDE_CPU)
    host = kycm.mallocHost(64)
    device = kycm.createTensor(info(), shape(64), kycm.dType.kycmDT_UINT8)
    block = kycm.getTensorDataHandle(device)
    # Device memory for a host tensor; memory already owned by the tensor that allocated it.
    for device_info, take, code in [(cpu, False, 100015), (info(), True, OWNED_BY_TENSOR)]:
        pytest.raises(RuntimeError, kycm.createTensorWithDataHandle, device_info, shape(1), kycm.dType.kycmDT_UINT8,
                      block, take).match(rf"ret: {code}\.$")
    assert kycm.free(block) == OWNED_BY_TENSOR  # the tensor would be left on freed memory

    # Replacing the data handle frees the memory the tensor owned.
    before = testctl.device_memory_used(0)
    other = kycm.createTensor(info(), shape(32), kycm.dType.kycmDT_UINT8)
    other_block = kycm.getTensorDataHandle(other)
    assert kycm.setTensorDataHandle(other, other_block, False) == 0  # gives it back to the caller
    assert kycm.setTensorDataHandle(device, other_block, True) == OUT_OF_RANGE  # 32 bytes for 64
    assert kycm.setTensorShape(device, shape(32)) == 0
    assert kycm.setTensorDataHandle(device, other_block, True) == 0
    assert testctl.device_memory_used(0) == before + 32 - 64
    assert kycm.setTensorDataHandle(device, host, False) == 100015
    assert kycm.setTensorDataHandle(device, None, False) == 0 and kycm.getTensorDataHandle(device) is None
    assert testctl.device_memory_used(0) == before - 64
    kycm.freeHost(host)
