"""Raw image files to and from device memory, and MD5 digests of files and
host buffers, checked against the bytes themselves and coreutils' md5sum."""
import errno
import hashlib
import os
import resource
import subprocess

import numpy as np
import pytest

import _quillon_testctl as testctl
from conftest import download, quillon, upload

kycm, kyce = quillon.kycm, quillon.kyce


def md5sum(path):
    return subprocess.run(["md5sum", str(path)], check=True, capture_output=True, text=True).stdout.split()[0]


def test_read_image_file_uploads_the_first_size_bytes_or_says_why_not(runtime, tmp_path, capfd):
    path, data = tmp_path / "image.raw", os.urandom(100)
    path.write_bytes(data)
    for size, unused in ((100, (0, 0)), (60, (-7, 2**31 - 1))):
        handle = kyce.readImageFile(str(path), *unused, size)
        assert download(handle, size).tobytes() == data[:size]
        kycm.free(handle)
    for target, size, message in (
            (path, 101, f"Error: Failed to read file {path}, size is not as expected. \n"),
            (path, -1, f"Failed to malloc memory for image {path} of size 18446744073709551615 bytes. \n"),
            (tmp_path / "missing", 100, f"Failed to open image {tmp_path / 'missing'}\n")):
        pytest.raises(TypeError, kyce.readImageFile, str(target), 0, 0, size).match(r"^kyce readImageFile error\.$")
        assert capfd.readouterr().out == message


@pytest.mark.parametrize("size", [0, 1, (1 << 20) + 3])
def test_file_digest_matches_md5sum(tmp_path, size):
    path = tmp_path / "data"
    path.write_bytes(os.urandom(size))
    assert kyce.genFileMd5sum(str(path)) == md5sum(path)


@pytest.mark.no_sanitizer
def test_files_of_4_gib_and_more_are_digested_whole(tmp_path):
    # Sparse: holes read as zeros without disk space; marks around 2^32 make
    # a digest of a 32-bit-truncated length differ from the true one.
    path, size = tmp_path / "sparse", (1 << 32) + (1 << 20) + 5
    with open(path, "wb") as out:
        for offset in (0, (1 << 32) - 3, size - 4):
            out.seek(offset)
            out.write(b"mark")
    if os.stat(path).st_blocks * 512 > 64 << 20:
        pytest.skip("the test's file system does not keep sparse files")
    # md5sum runs alongside: each side needs seconds for 4 GiB.
    reference = subprocess.Popen(["md5sum", str(path)], stdout=subprocess.PIPE, text=True)
    digest = kyce.genFileMd5sum(str(path))
    assert digest == reference.communicate()[0].split()[0]


def test_digests_refuse_what_they_cannot_read(runtime, tmp_path, capfd):
    for path, error in ((tmp_path / "gone", FileNotFoundError), (tmp_path, IsADirectoryError), ("/dev/zero", OSError)):
        pytest.raises(error, kyce.genFileMd5sum, str(path))
        assert capfd.readouterr().err == f"failed to open {path}\n"
    pytest.raises(ValueError, kyce.genFileMd5sum, str(tmp_path) + "\0").match("NUL")
    data = np.random.default_rng(3).integers(0, 256, 4099, np.uint8)
    host, device = kycm.getHandleFromNumpy(data), kycm.malloc(16)
    assert kyce.genBufferMd5sum(host, data.size) == hashlib.md5(data.tobytes()).hexdigest()
    for size in (0, -1, -(2**31)):
        pytest.raises(ValueError, kyce.genBufferMd5sum, host, size).match("size must be at least 1")
    pytest.raises(TypeError, kyce.genBufferMd5sum, None, 16).match("must not be None")
    pytest.raises(ValueError, kyce.genBufferMd5sum, device, 16).match("readable bytes of host memory")
    kycm.free(device), kycm.freeHost(host)


def test_saving_writes_the_device_bytes_or_raises_and_writes_nothing(runtime, tmp_path):
    data, path, kept = os.urandom(5000), tmp_path / "saved.raw", tmp_path / "kept.raw"
    host, device = kycm.getHandleFromNumpy(np.frombuffer(data, np.uint8)), upload(np.frombuffer(data, np.uint8))
    assert kyce.saveHandelToImage(len(data), device, str(path)) is None and path.read_bytes() == data
    assert kyce.genFileMd5sum(str(path)) == kyce.genBufferMd5sum(host, len(data))
    kept.write_bytes(b"earlier content")
    testctl.arm_failure("kycmMemcpy", 7)
    with pytest.raises(RuntimeError, match=r"copying 64 bytes from device memory failed, ret: 7; no file was written"):
        kyce.saveHandelToImage(64, device, str(kept))
    pytest.raises(RuntimeError, kyce.saveHandelToImage, 64, None, str(tmp_path / "never.raw")).match("ret: ")
    assert kept.read_bytes() == b"earlier content" and not (tmp_path / "never.raw").exists()
    for target, error in ((tmp_path / "no" / "dir.raw", FileNotFoundError), (tmp_path, IsADirectoryError)):
        pytest.raises(error, kyce.saveHandelToImage, 64, device, str(target))
    # A file-size limit stands in for a full disk: the write stops part way.
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1000, limits[1]))
    try:
        full = pytest.raises(OSError, kyce.saveHandelToImage, len(data), device, str(path))
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
    assert full.value.errno == errno.EFBIG
    pytest.raises(ValueError, kyce.saveHandelToImage, -1, device, str(path)).match("negative")
    kycm.freeHost(host), kycm.free(device)
