"""Plug-ins, raw images and the media readers' files are read from, and saved
to, regular files only: a named pipe or a device is refused at once with the
call's own failure, never waited on. Each call runs in a child process, so
that one stuck in open() fails its test instead of freezing the suite."""
import errno
import os
import subprocess
import sys

import pytest

from conftest import MODULE_DIR

PROBE = """
import os, sys
sys.path.insert(0, sys.argv[1])
from _quillon_pybind11 import kycm, kyce, kycl, kyme
call, path = sys.argv[2:]
kycm.initialize()
reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK) if call.endswith(", read") else None


def readers():
    h, j = kyme.H264Reader(path), kyme.JpegReader(path)
    y = kyme.YUVReader(path, kyme.pixelFormat.KYME_PIX_FMT_NV12, 4, 4, 4)
    h.init(), y.init(), j.init()
    print(h.getStream(kyme.stream()), y.getFrame(kyme.frame()))
    return j.getStream(kyme.stream())


try:
    print({"readers": readers, "loadCustomizedOp": lambda: kyce.loadCustomizedOp(path),
           "readImageFile": lambda: kyce.readImageFile(path, 0, 0, 24),
           "loadImage": lambda: kycl.loadImage(path, 4, 4),
           "saveHandelToImage": lambda: kyce.saveHandelToImage(16, kycm.malloc(16), path)}[call.partition(",")[0]]())
except Exception as error:
    print(type(error).__name__, getattr(error, "errno", None) or error)
"""

NOT_OPENED = "Failed to open image {path}\n"
CASES = [
    # Zero pictures for ever from the device, once from the pipe.
    ("readers", "fifo", "Fail to open file <{path}>\n0 0\nOSError 22\n"),
    ("readers", "/dev/zero", "Fail to open file <{path}>\n0 0\nOSError 22\n"),
    ("loadCustomizedOp", "fifo", "RuntimeError load customized op error, ret: 200031.\n"),
    ("readImageFile", "fifo", NOT_OPENED + "TypeError kyce readImageFile error.\n"),
    ("readImageFile", "/dev/zero", NOT_OPENED + "TypeError kyce readImageFile error.\n"),
    ("loadImage", "fifo", NOT_OPENED + "None\n"),
    ("loadImage", "/dev/zero", NOT_OPENED + "None\n"),
    # A pipe without a reader cannot be opened for writing; one with a reader is no regular file.
    ("saveHandelToImage", "fifo", f"OSError {errno.ENXIO}\n"),
    ("saveHandelToImage, read", "fifo", f"OSError {errno.EINVAL}\n"),
]


@pytest.mark.parametrize("call, kind, expected", CASES)
def test_only_regular_files_are_read_or_written(tmp_path, call, kind, expected):
    path = kind if kind.startswith("/") else tmp_path / "pipe"
    if kind == "fifo":
        os.mkfifo(path)
    try:
        done = subprocess.run([sys.executable, "-c", PROBE, str(MODULE_DIR), call, str(path)],
                              capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{call} blocked on {kind}")
    assert (done.returncode, done.stdout) == (0, expected.format(path=path)), done.stderr
