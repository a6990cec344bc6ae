"""Memory the module and the host SDK hand out refuses stale and overlong
reads: released reader buffers and freed small host blocks stay inaccessible
for a while, and host blocks end against an inaccessible page."""
import numpy as np
import pytest

import _quillon_pybind11 as quillon

kycm, kyme = quillon.kycm, quillon.kyme
CT = kycm.copyMemType
INVALID_ADDRESS = 100013


def test_a_plane_address_kept_past_release_is_refused(tmp_path, runtime):
    path = tmp_path / "pictures.yuv"
    path.write_bytes(bytes(range(256)) * 24)  # four 32x32 pictures
    reader = kyme.YUVReader(str(path), kyme.pixelFormat.KYME_PIX_FMT_YUV420P, 32, 32, 32)
    reader.init()
    frame = kyme.frame()
    assert reader.getFrame(frame) == 1
    plane = frame.data[0]
    assert kycm.getNumpyFromHandle(plane, 1024).tolist() == list(range(256)) * 4
    reader.release()
    later = kyme.YUVReader(str(path), kyme.pixelFormat.KYME_PIX_FMT_YUV420P, 32, 32, 32)
    later.init()  # a new buffer of the same size does not take the old address
    assert later.getFrame(kyme.frame()) == 1
    with pytest.raises(ValueError, match="readable"):
        kycm.getNumpyFromHandle(plane, 1024)
    with pytest.raises(ValueError, match="readable"):
        kycm.getNumpyFromHandle(plane, 1)
    device = kycm.malloc(1024)
    assert kycm.memcpy(plane, device, 1024, CT.kycmCT_COPY_TO_DEVICE) == INVALID_ADDRESS
    later.release()


@pytest.mark.parametrize("size", [16, 4096, 3 << 20])
def test_host_blocks_refuse_reads_past_their_end(runtime, size):
    block = kycm.getHandleFromNumpy(np.full(size, 3, np.uint8))
    assert (kycm.getNumpyFromHandle(block, size) == 3).all()
    with pytest.raises(ValueError, match="readable"):
        kycm.getNumpyFromHandle(block, size + 4096)
    assert kycm.freeHost(block) == 0


@pytest.mark.parametrize("size", [16, 4096])
def test_small_host_blocks_refuse_reads_after_free(runtime, size):
    block = kycm.getHandleFromNumpy(np.full(size, 3, np.uint8))
    assert kycm.freeHost(block) == 0
    again = kycm.getHandleFromNumpy(np.full(size, 4, np.uint8))  # does not take the freed address
    with pytest.raises(ValueError, match="readable"):
        kycm.getNumpyFromHandle(block, 1)
    device = kycm.malloc(size)
    assert kycm.memcpy(block, device, size, CT.kycmCT_COPY_TO_DEVICE) == INVALID_ADDRESS
    assert kycm.memcpy(device, block, size, CT.kycmCT_COPY_FROM_DEVICE) == INVALID_ADDRESS
    assert kycm.freeHost(again) == 0
