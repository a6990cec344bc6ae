"""Host ranges are checked page by page, before a byte moves; released reader buffers and freed small host blocks
stay unreadable for a while, and host blocks end against an inaccessible page."""
import ctypes
import mmap

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import download

kycm, kyme = quillon.kycm, quillon.kyme
CT = kycm.copyMemType
INVALID_ADDRESS = 100013
PAGE = mmap.PAGESIZE
PROT_NONE = 0

libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]


@pytest.fixture
def three_pages():
    """Three pages filled with 5, the middle one's protection set by the test."""
    base = libc.mmap(None, 3 * PAGE, mmap.PROT_READ | mmap.PROT_WRITE, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
    assert base not in (None, ctypes.c_void_p(-1).value)
    ctypes.memset(base, 5, 3 * PAGE)

    def protect_middle(protection):
        assert libc.mprotect(base + PAGE, PAGE, protection) == 0
        return testctl.named_capsule(base, "three pages")

    yield protect_middle
    libc.munmap(base, 3 * PAGE)


@pytest.mark.parametrize("protection", [mmap.PROT_READ, mmap.PROT_READ | mmap.PROT_WRITE])
def test_whole_ranges_of_accessible_pages_are_copied(runtime, three_pages, protection):
    pages = three_pages(protection)
    assert (kycm.getNumpyFromHandle(pages, 3 * PAGE) == 5).all()
    assert (kycm.getFloat16Array(pages, 3 * PAGE) == 0x0505).all()
    device = kycm.malloc(3 * PAGE)
    assert kycm.memcpy(pages, device, 3 * PAGE, CT.kycmCT_COPY_TO_DEVICE) == 0
    assert (download(device, 3 * PAGE) == 5).all()


def test_an_inaccessible_page_inside_the_range_refuses_it(runtime, three_pages):
    pages = three_pages(PROT_NONE)
    # Up to the page it is read; into it, as through it, refused.
    edge = testctl.named_capsule(testctl.capsule_address(pages) + PAGE - 4, "edge")
    assert kycm.getNumpyFromHandle(edge, 4).tolist() == [5] * 4
    for read, start in [(kycm.getNumpyFromHandle, pages), (kycm.getFloat16Array, pages),
                        (kycm.getNumpyFromHandle, edge), (kycm.getFloat16Array, edge)]:
        pytest.raises(ValueError, read, start, 3 * PAGE if start is pages else 8).match("readable")
    device = kycm.malloc(3 * PAGE)
    assert kycm.memcpy(pages, device, 3 * PAGE, CT.kycmCT_COPY_TO_DEVICE) == INVALID_ADDRESS
    assert kycm.memcpy(device, pages, 3 * PAGE, CT.kycmCT_COPY_FROM_DEVICE) == INVALID_ADDRESS


def test_a_read_only_page_inside_a_destination_refuses_it(runtime, three_pages):
    pages = three_pages(mmap.PROT_READ)
    device = kycm.malloc(3 * PAGE)
    assert kycm.memset(device, 9, 3 * PAGE) == 0
    assert kycm.memcpy(device, pages, 3 * PAGE, CT.kycmCT_COPY_FROM_DEVICE) == INVALID_ADDRESS
    assert (kycm.getNumpyFromHandle(pages, 3 * PAGE) == 5).all()  # nothing was written


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
    pytest.raises(ValueError, kycm.getNumpyFromHandle, plane, 1024).match("readable")
    pytest.raises(ValueError, kycm.getNumpyFromHandle, plane, 1).match("readable")
    device = kycm.malloc(1024)
    assert kycm.memcpy(plane, device, 1024, CT.kycmCT_COPY_TO_DEVICE) == INVALID_ADDRESS
    later.release()


@pytest.mark.parametrize("size", [16, 4096, 3 << 20])
def test_host_blocks_refuse_reads_past_their_end(runtime, size):
    block = kycm.getHandleFromNumpy(np.full(size, 3, np.uint8))
    assert (kycm.getNumpyFromHandle(block, size) == 3).all()
    pytest.raises(ValueError, kycm.getNumpyFromHandle, block, size + 4096).match("readable")
    assert kycm.freeHost(block) == 0


@pytest.mark.parametrize("size", [16, 4096])
def test_small_host_blocks_refuse_reads_after_free(runtime, size):
    block = kycm.getHandleFromNumpy(np.full(size, 3, np.uint8))
    assert kycm.freeHost(block) == 0
    again = kycm.getHandleFromNumpy(np.full(size, 4, np.uint8))  # does not take the freed address
    pytest.raises(ValueError, kycm.getNumpyFromHandle, block, 1).match("readable")
    device = kycm.malloc(size)
    assert kycm.memcpy(block, device, size, CT.kycmCT_COPY_TO_DEVICE) == INVALID_ADDRESS
    assert kycm.memcpy(device, block, size, CT.kycmCT_COPY_FROM_DEVICE) == INVALID_ADDRESS
    assert kycm.freeHost(again) == 0
