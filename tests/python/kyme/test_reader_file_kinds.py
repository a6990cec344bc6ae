"""Readers read regular files only: a named pipe or a device cannot be
opened, and opening one never blocks. Each case runs in a child process, so
that a reader stuck in open() fails the test instead of freezing it."""
import os
import subprocess
import sys

import pytest

from conftest import MODULE_DIR

PROBE = """
import sys
sys.path.insert(0, sys.argv[1])
from _quillon_pybind11 import kyme as k
path = sys.argv[2]
h, y, j = k.H264Reader(path), k.YUVReader(path, k.pixelFormat.KYME_PIX_FMT_NV12, 4, 4, 4), k.JpegReader(path)
h.init(), y.init(), j.init()
print(h.getStream(k.stream()), y.getFrame(k.frame()))
try:
    j.getStream(k.stream())
except OSError as error:
    print(error.errno, error.strerror)
"""


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_only_regular_files_are_opened(tmp_path, kind):
    path = "/dev/zero" if kind == "device" else tmp_path / "pipe"  # zero pictures for ever, once
    if kind == "fifo":
        os.mkfifo(path)
    try:
        done = subprocess.run([sys.executable, "-c", PROBE, str(MODULE_DIR), str(path)],
                              capture_output=True, text=True, timeout=20)
    except subprocess.TimeoutExpired:
        pytest.fail("a reader blocked opening a named pipe")
    assert done.stdout == f"Fail to open file <{path}>\n0 0\n22 Unable to open input file\n", done.stderr
