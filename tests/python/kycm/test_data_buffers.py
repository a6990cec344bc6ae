"""Device descriptions and data buffers."""
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import device_info, shape

kycm = quillon.kycm
CPU, KYCC = kycm.deviceType.kycmDE_CPU, kycm.deviceType.kycmDE_KYCC


def device_block(index, size):
    """Device memory of `size` bytes on device `index`, owned by a tensor."""
    tensor = kycm.createTensor(device_info(KYCC, index), shape(size), kycm.dType.kycmDT_UINT8)
    return tensor, kycm.getTensorDataHandle(tensor)


def test_host_buffer_life_cycle(runtime):
    host, other = kycm.mallocHost(64), kycm.mallocHost(16)
    buffer = kycm.createDataBuffer(device_info(CPU), host, 64)
    assert testctl.capsule_address(kycm.getDataBufferAddr(buffer)) == testctl.capsule_address(host)
    assert kycm.updateDataBuffer(buffer, device_info(CPU), other, 16) == 0 and kycm.getDataBufferSize(buffer) == 16
    info = device_info(KYCC, 1)
    assert kycm.getDataBufferDeviceInfo(buffer, info) == 0 and info.deviceType == CPU
    assert (kycm.destroyDataBuffer(buffer), kycm.destroyDataBuffer(buffer)) == (0, 100005)
    pytest.raises(RuntimeError, kycm.getDataBufferSize, buffer).match(r"^get data buffer size error, ret: 100005\.$")
    # The buffer never owned the memory it described.
    assert kycm.freeHost(host) == 0 and kycm.freeHost(other) == 0


def test_device_buffers_check_where_the_memory_lives(runtime):
    tensor, block = device_block(0, 4096)
    kycc0, host = device_info(KYCC, 0), kycm.mallocHost(16)
    buffer = kycm.createDataBuffer(kycc0, block, 4096)
    cases = [(kycc0, block, 4097, 100014), (device_info(KYCC, 1), block, 16, 100013), (kycc0, host, 16, 100015),
             (device_info(CPU), block, 16, 100015), (device_info(KYCC, 9), block, 16, 100004)]
    for info, address, size, code in cases:
        pytest.raises(RuntimeError, kycm.createDataBuffer, info, address, size).match(rf"ret: {code}\.$")
        assert kycm.updateDataBuffer(buffer, info, address, size) == code
    # From a context: the thread's device, whose memory it must be.
    kycm.setCurrentContext(kycm.createContext(1))
    other, block1 = device_block(1, 256)
    info = kycm.deviceInfo()
    kycm.getDataBufferDeviceInfo(kycm.createDataBufferFromContext(KYCC, block1, 256), info)
    assert (info.deviceType, info.deviceIdx) == (KYCC, 1)
    pytest.raises(RuntimeError, kycm.createDataBufferFromContext, KYCC, block, 256).match(
        r"^create data buffer from context error, ret: 100013\.$")


def test_what_reaches_the_library(runtime, journal):
    empty = kycm.createDataBuffer(device_info(CPU), None, 0)
    assert kycm.getDataBufferAddr(empty) is None and kycm.getDataBufferDeviceInfo(empty, None) == 100001
    assert journal()[0] == ("kycmCreateDataBuffer", (1, 0, None, 0, True))
    assert journal()[-1] == ("kycmGetDataBufferDeviceInfo", (True, None))
    testctl.arm_empty("kycmCreateDataBuffer")
    assert kycm.createDataBuffer(device_info(CPU), None, 0) is None
