"""A registered class's object as a handle is its record's address, and no call goes past the record."""
import pytest

from conftest import quillon, testctl

kycm, kyme = quillon.kycm, quillon.kyme
CT = kycm.copyMemType


def test_calls_past_a_record_are_refused_before_the_library(runtime, journal):
    device, frame, cpu = kycm.malloc(4096), kyme.frame(), kycm.deviceInfo()  # a frame's record: 128 bytes
    testctl.arm_failure("kycmMemcpy", 7, count=4)  # had a copy been made, it could not write
    testctl.arm_failure("kycmMemcpyAsync", 7, count=4)
    testctl.clear_journal()
    for call in (lambda: kycm.memcpy(device, frame, 129, CT.kycmCT_COPY_FROM_DEVICE),
                 lambda: kycm.memcpy(frame, device, 4096, CT.kycmCT_COPY_TO_DEVICE),
                 lambda: kycm.memcpyAsync(device, frame, 129, CT.kycmCT_COPY_FROM_DEVICE, None),
                 lambda: kycm.memset(frame, 0, 129),
                 lambda: kycm.getNumpyFromHandle(frame, 129),
                 lambda: kycm.getFloat16Array(frame, 130),
                 lambda: kycm.createDataBuffer(cpu, frame, 129),
                 lambda: kycm.createTensorWithDataHandle(cpu, kycm.shape(), kycm.dType.kycmDT_UINT8, frame, False),
                 lambda: kycm.getNumpyFromHandle(kycm.shape(), 57),  # an adaptor: its library record only
                 lambda: kycm.getNumpyFromHandle(kyme.YUVReader("x", kyme.pixelFormat.KYME_PIX_FMT_NV12, 2, 2, 2), 1),
                 lambda: kycm.memcpy(device, CT.kycmCT_COPY_TO_DEVICE, 4, CT.kycmCT_COPY_FROM_DEVICE)):
        with pytest.raises(ValueError, match=r"\w+\.\w+ object"):
            call()
    assert journal() == []


def test_within_its_record_an_object_is_read_and_written_at_its_address(runtime):
    device, frame = kycm.malloc(128), kyme.frame()
    assert kycm.memset(device, 1, 128) == 0
    assert kycm.memcpy(device, frame, 128, CT.kycmCT_COPY_FROM_DEVICE) == 0
    assert frame.dataSize == 0x01010101
    assert kycm.getNumpyFromHandle(frame.cropInfo, 20).tolist() == [1] * 20  # a nested record too
