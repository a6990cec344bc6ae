"""Data types, device descriptions and data buffers."""
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl

kycm = quillon.kycm

INVALID_HANDLE = 100005
INVALID_ADDRESS = 100013
OUT_OF_RANGE = 100014
WRONG_MEMORY_KIND = 100015


def device_info(kind, index=0):
    info = kycm.deviceInfo()
    info.deviceType = kind
    info.deviceIdx = index
    return info


def device_block(index, size):
    """Device memory of `size` bytes on device `index`, owned by a tensor."""
    shape = kycm.shape()
    shape.ndims, shape.shapes = 1, [size]
    tensor = kycm.createTensor(device_info(kycm.deviceType.kycmDE_KYCC, index), shape, kycm.dType.kycmDT_UINT8)
    return tensor, kycm.getTensorDataHandle(tensor)


def test_device_info_record():
    info = kycm.deviceInfo()
    kind = info.deviceType
    assert kind.value == 0 and info.deviceIdx == 0
    info.deviceType = kycm.deviceType.kycmDE_KYCC
    assert kind == kycm.deviceType.kycmDE_KYCC  # the property refers to the field
    info.deviceIdx = 2**32 - 1
    for bad in (-1, 2**32):
        with pytest.raises(TypeError):
            info.deviceIdx = bad


def test_host_buffer_life_cycle(runtime):
    host, other = kycm.mallocHost(64), kycm.mallocHost(16)
    buffer = kycm.createDataBuffer(device_info(kycm.deviceType.kycmDE_CPU), host, 64)
    assert testctl.capsule_address(kycm.getDataBufferAddr(buffer)) == testctl.capsule_address(host)
    assert kycm.updateDataBuffer(buffer, device_info(kycm.deviceType.kycmDE_CPU), other, 16) == 0
    assert kycm.getDataBufferSize(buffer) == 16
    info = device_info(kycm.deviceType.kycmDE_KYCC, 1)
    assert kycm.getDataBufferDeviceInfo(buffer, info) == 0
    assert info.deviceType == kycm.deviceType.kycmDE_CPU

    assert kycm.destroyDataBuffer(buffer) == 0
    assert kycm.destroyDataBuffer(buffer) == INVALID_HANDLE
    pytest.raises(RuntimeError, kycm.getDataBufferSize, buffer).match(r"^get data buffer size error, ret: 100005\.$")
    # The buffer never owned the memory it described.
    assert kycm.freeHost(host) == 0 and kycm.freeHost(other) == 0


def test_device_buffers_check_where_the_memory_lives(runtime):
    tensor, block = device_block(0, 4096)
    kycc0 = device_info(kycm.deviceType.kycmDE_KYCC, 0)
    buffer = kycm.createDataBuffer(kycc0, block, 4096)
    host = kycm.mallocHost(16)
    cases = [(kycc0, block, 4097, OUT_OF_RANGE),
             (device_info(kycm.deviceType.kycmDE_KYCC, 1), block, 16, INVALID_ADDRESS),
             (kycc0, host, 16, WRONG_MEMORY_KIND),
             (device_info(kycm.deviceType.kycmDE_CPU), block, 16, WRONG_MEMORY_KIND),
             (device_info(kycm.deviceType.kycmDE_KYCC, 9), block, 16, 100004)]
    for info, address, size, code in cases:
        with pytest.raises(RuntimeError, match=rf"^create data buffer error, ret: {code}\.$"):
            kycm.createDataBuffer(info, address, size)
        assert kycm.updateDataBuffer(buffer, info, address, size) == code
    kycm.freeHost(host)
    kycm.destroyTensor(tensor)


def test_buffer_from_context_takes_the_threads_device(runtime):
    context = kycm.createContext(1)
    kycm.setCurrentContext(context)
    tensor, block = device_block(1, 256)
    buffer = kycm.createDataBufferFromContext(kycm.deviceType.kycmDE_KYCC, block, 256)
    info = kycm.deviceInfo()
    kycm.getDataBufferDeviceInfo(buffer, info)
    assert (info.deviceType, info.deviceIdx) == (kycm.deviceType.kycmDE_KYCC, 1)
    # Device 0 memory does not belong to the context's device.
    other, block0 = device_block(0, 256)
    with pytest.raises(RuntimeError, match=r"^create data buffer from context error, ret: 100013\.$"):
        kycm.createDataBufferFromContext(kycm.deviceType.kycmDE_KYCC, block0, 256)
    kycm.destroyContext(context)


def test_what_reaches_the_library(runtime, journal):
    pytest.raises(TypeError, kycm.createDataBuffer, None, None, 0).match("deviceInfo")
    pytest.raises(TypeError, kycm.updateDataBuffer, None, None, None, 0)
    pytest.raises(TypeError, lambda: kycm.createDataBuffer(kycm.deviceInfo(), None, -1))
    assert journal() == []

    empty = kycm.createDataBuffer(device_info(kycm.deviceType.kycmDE_CPU), None, 0)
    assert kycm.getDataBufferAddr(empty) is None
    assert kycm.getDataBufferDeviceInfo(empty, None) == 100001
    testctl.arm_empty("kycmCreateDataBuffer")
    assert kycm.createDataBuffer(device_info(kycm.deviceType.kycmDE_CPU), None, 0) is None
    calls = journal()
    assert calls[0] == ("kycmCreateDataBuffer", (1, 0, None, 0, True))
    assert calls[-2] == ("kycmGetDataBufferDeviceInfo", (True, None))


