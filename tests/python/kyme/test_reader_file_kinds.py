"""Readers read regular files only: a named pipe without a writer, a device
or a folder is a file that cannot be read, and opening one never blocks.
Each case runs in a child process, so that a reader stuck in open() fails
the test instead of freezing it."""
import os
import subprocess
import sys

import pytest

from conftest import MODULE_DIR

PROBE = """
import sys
sys.path.insert(0, sys.argv[1])
import _quillon_pybind11 as quillon
kyme = quillon.kyme
path = sys.argv[2]
h264 = kyme.H264Reader(path)
h264.init()
print("h264", h264.getStream(kyme.stream()))
yuv = kyme.YUVReader(path, kyme.pixelFormat.KYME_PIX_FMT_NV12, 4, 4, 4)
yuv.init()
print("yuv", yuv.getFrame(kyme.frame()))
jpeg = kyme.JpegReader(path)
jpeg.init()
try:
    print("jpeg", jpeg.getStream(kyme.stream()))
except OSError as error:
    print("jpeg", type(error).__name__, error.strerror, error.filename == path)
"""


@pytest.mark.parametrize("kind", ["fifo", "device", "folder"])
def test_files_that_are_not_regular_cannot_be_read(tmp_path, kind):
    if kind == "fifo":
        path = tmp_path / "pipe"
        os.mkfifo(path)
    elif kind == "device":
        path = "/dev/zero"  # endless zero pictures before readers checked the kind
    else:
        path = tmp_path
    try:
        done = subprocess.run([sys.executable, "-c", PROBE, str(MODULE_DIR), str(path)],
                              capture_output=True, text=True, timeout=20)
    except subprocess.TimeoutExpired:
        pytest.fail(f"a reader blocked opening a {kind}")
    assert done.returncode == 0, done.stderr
    error = "IsADirectoryError" if kind == "folder" else "OSError"
    assert done.stdout.splitlines() == [
        "h264 0",
        f"Fail to open file <{path}>",
        "yuv 0",
        f"jpeg {error} Unable to open input file True",
    ]
