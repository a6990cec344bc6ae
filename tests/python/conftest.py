"""Puts the build tree and the package on the path and gives every test a clean runtime."""
import os
import pathlib
import sys

import numpy as np
import pytest

# Each test process keeps the card to itself, so tests running side by side
# (and other users of the default platform) never see each other's memory
# and channels; the tests of the shared state turn it on in their own
# processes.
os.environ["QUILLON_SHARED_STATE"] = "0"

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUILLON_BUILD_DIR", ROOT / "build"))
MODULE_DIR = BUILD / "python"
sys.path.insert(0, str(MODULE_DIR))
# The package's sources; its native helper joins it from the build tree.
sys.path.insert(1, str(ROOT / "python"))

import _quillon_pybind11 as quillon  # noqa: E402
import _quillon_testctl as testctl  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer: measures memory or expects a raw fault; left out of the sanitizer run")


@pytest.fixture(autouse=True)
def clean_control():
    """Test control disarmed and the journal empty before and after each test."""
    testctl.reset()
    yield
    testctl.reset()


@pytest.fixture
def runtime():
    """An initialised common runtime, released after the test."""
    kycm = quillon.kycm
    kycm.uninitialize()
    assert kycm.initialize() == 0
    yield kycm
    kycm.uninitialize()


@pytest.fixture
def media(runtime):
    """An initialised media system on the default platform (two devices), released after the test."""
    quillon.kyme.systemUninitialize()
    assert quillon.kyme.systemInitialize() == 0
    yield
    quillon.kyme.systemUninitialize()


@pytest.fixture
def journal():
    """Records library calls during the test; call it to read them."""
    testctl.record()
    return testctl.journal


def upload(data):
    """Device memory holding the bytes of `data`."""
    data = np.ascontiguousarray(data).view(np.uint8).reshape(-1)
    host, device = quillon.kycm.getHandleFromNumpy(data), quillon.kycm.malloc(max(data.size, 1))
    assert quillon.kycm.memcpy(host, device, data.size, quillon.kycm.copyMemType.kycmCT_COPY_TO_DEVICE) == 0
    quillon.kycm.freeHost(host)
    return device


def download(handle, size, offset=0):
    """`size` bytes of device memory from `offset` on, as a numpy array."""
    kycm = quillon.kycm
    host = kycm.getHandleFromNumpy(np.zeros(offset + size, np.uint8))
    assert kycm.memcpy(handle, host, offset + size, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE) == 0
    data = kycm.getNumpyFromHandle(host, offset + size)[offset:]
    kycm.freeHost(host)
    return data


def device_info(kind=None, index=0):
    """A kycm device description: a card's device unless `kind` says otherwise."""
    record = quillon.kycm.deviceInfo()
    record.deviceType, record.deviceIdx = kind or quillon.kycm.deviceType.kycmDE_KYCC, index
    return record


def shape(*dims, ndims=None):
    """A kycm shape of `dims`, with `ndims` as given or their number."""
    record = quillon.kycm.shape()
    record.ndims, record.shapes = len(dims) if ndims is None else ndims, list(dims)
    return record
