"""Host ranges are checked page by page: a page without the access anywhere
in the range refuses the whole call before a byte moves."""
import ctypes
import mmap

import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import download

kycm = quillon.kycm
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
