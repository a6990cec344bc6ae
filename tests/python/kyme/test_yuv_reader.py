"""YUVReader: plane layouts, picture contents, counters, end of file and
the reader's life."""
import gc
import os

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl

kyme = quillon.kyme
fmt = kyme.pixelFormat


def counter_of(frame):
    """The 64-bit picture counter the reader stores at offset 72."""
    return int.from_bytes(testctl.peek(frame, 72, 8), "little", signed=True)


def plane_offsets(frame):
    base = testctl.capsule_address(frame.data[0])
    return [None if d is None else testctl.capsule_address(d) - base for d in frame.data]


def pictures(path, count, size, seed=1):
    data = np.random.default_rng(seed).integers(0, 256, size * count, dtype=np.uint8)
    path.write_bytes(data.tobytes())
    return [data[i * size:(i + 1) * size].tobytes() for i in range(count)]


@pytest.mark.parametrize("pixel, width, height, stride, sizes, strides", [
    (fmt.KYME_PIX_FMT_YUV420P, 1920, 1080, 1920, [2073600, 518400, 518400], [1920, 960, 960]),
    (fmt.KYME_PIX_FMT_NV12, 1919, 1079, 1919, [1919 * 1079, 1036800, 0], [1919, 1920, 0]),
    (fmt.KYME_PIX_FMT_NV21, 33, 17, 40, [680, 360, 0], [40, 40, 0]),
    (fmt.KYME_PIX_FMT_YUV420P, 31, 15, 35, [525, 144, 144], [35, 18, 18]),
])
def test_plane_layout_follows_the_stride(tmp_path, pixel, width, height, stride, sizes, strides):
    path = tmp_path / "one.yuv"
    total = sum(sizes)
    (picture,) = pictures(path, 1, total)
    reader = kyme.YUVReader(str(path), pixel, width, height, stride)
    reader.init()
    frame = kyme.frame()
    assert reader.getFrame(frame) == 1
    assert (frame.width, frame.height, frame.dataSize) == (width, height, total)
    assert frame.stride == strides
    assert frame.busAddress == [0, 0, 0]
    assert plane_offsets(frame) == [0, sizes[0], sizes[0] + sizes[1] if sizes[2] else None]
    assert frame.memoryType == kyme.memoryType.KYME_MEM_HOST
    assert frame.pixelFormat == pixel
    assert (frame.field, frame.frameType, frame.privateData) == (kyme.videoField.KYME_FLD_FRAME,
                                                                 kyme.frameType.KYME_FRM_I, None)
    assert frame.cropInfo.flag == 0 and frame.cropInfo.width == 0
    assert bytes(np.array(frame)) == picture
    reader.release()


def test_pictures_counters_and_seek(tmp_path):
    path = tmp_path / "two.yuv"
    first, second = pictures(path, 2, 6 * 4 + 2 * 3 * 2)
    reader = kyme.YUVReader(str(path), fmt.KYME_PIX_FMT_YUV420P, 6, 4, 6)
    reader.init()
    frame = kyme.frame()
    assert reader.getFrame(frame) == 1 and counter_of(frame) == 0 and bytes(np.array(frame)) == first
    assert reader.getFrame(frame) == 1 and counter_of(frame) == 1 and bytes(np.array(frame)) == second
    assert reader.getFrame(frame) == 0
    assert counter_of(frame) == 1  # untouched
    assert len(frame.data) == len(frame.stride) == len(frame.busAddress) == 3
    reader.seek_to_start()
    assert reader.getFrame(frame) == 1 and counter_of(frame) == 3 and bytes(np.array(frame)) == first
    reader.release()


def test_truncated_final_picture_is_refused(tmp_path, capfd):
    path = tmp_path / "short.yuv"
    size = 8 * 2 + 2 * 4 * 1
    (first,) = pictures(path, 1, size)
    with open(path, "ab") as f:
        f.write(b"\x07" * (size - 3))  # all planes but the last bytes of the second picture
    reader = kyme.YUVReader(str(path), fmt.KYME_PIX_FMT_YUV420P, 8, 2, 8)
    reader.init()
    frame = kyme.frame()
    assert reader.getFrame(frame) == 1
    capfd.readouterr()
    assert reader.getFrame(frame) == 0
    assert capfd.readouterr().out == "Read data failed\n"
    assert bytes(np.array(frame)) == first and counter_of(frame) == 0
    assert reader.getFrame(frame) == 0  # then the end of the file, silently
    assert capfd.readouterr().out == ""
    reader.release()


@pytest.mark.parametrize("pixel, width, height, stride, message", [
    (fmt.KYME_PIX_FMT_RGB24, 8, 8, 8, "Sorry, format 18 is not supported yet!\n"),
    (fmt.KYME_PIX_FMT_NONE, 8, 8, 8, "Sorry, format -1 is not supported yet!\n"),
    (fmt.KYME_PIX_FMT_NV12, 8, 8, -8, "Sorry, picture height 8 and stride -8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_NV12, 8, 0, 8, "Sorry, picture height 0 and stride 8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_NV12, -5, 8, 8, "Sorry, picture width -5 and stride 8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_NV12, 9, 8, 8, "Sorry, picture width 9 and stride 8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_YUV420P, 8, 2**31 - 1, 2**31 - 1, "Sorry, pictures of "),
])
def test_refused_layouts(tmp_path, capfd, pixel, width, height, stride, message):
    path = tmp_path / "any.yuv"
    path.write_bytes(bytes(1024))
    reader = kyme.YUVReader(str(path), pixel, width, height, stride)
    reader.init()
    assert capfd.readouterr().out.startswith(message)
    assert reader.getFrame(kyme.frame()) == 0
    reader.release()


def test_missing_file(tmp_path, capfd):
    path = tmp_path / "missing.yuv"
    reader = kyme.YUVReader(str(path), fmt.KYME_PIX_FMT_NV12, 4, 4, 4)
    reader.init()
    assert capfd.readouterr().out == f"Fail to open file <{path}>\n"
    assert reader.getFrame(kyme.frame()) == 0


def test_reader_life_releases_what_it_holds(tmp_path):
    path = tmp_path / "life.yuv"
    first, _ = pictures(path, 2, 4 * 2 + 4 * 1)
    gc.collect()
    before = len(os.listdir("/proc/self/fd"))
    reader = kyme.YUVReader(str(path), fmt.KYME_PIX_FMT_NV21, 4, 2, 4)
    frame = kyme.frame()
    assert reader.getFrame(frame) == 0  # before init
    reader.init()
    assert reader.getFrame(frame) == 1
    reader.init()  # starts over, without keeping the first file open
    assert len(os.listdir("/proc/self/fd")) == before + 1
    assert reader.getFrame(frame) == 1 and bytes(np.array(frame)) == first
    reader.release()
    reader.release()
    assert reader.getFrame(frame) == 0
    reader.seek_to_start()
    reader.init()
    del reader, frame  # the frame points into the buffer of the reader that filled it
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) == before


def test_signatures():
    name = "_quillon_pybind11.kyme.YUVReader"
    assert (f"__init__(self: {name}, arg0: str, arg1: _quillon_pybind11.kyme.pixelFormat, arg2: int, arg3: int, "
            "arg4: int) -> None") in kyme.YUVReader.__init__.__doc__
    assert kyme.YUVReader.getFrame.__doc__.startswith(
        f"getFrame(self: {name}, arg0: _quillon_pybind11.kyme.frame) -> int")
    for method in ("init", "release", "seek_to_start"):
        assert getattr(kyme.YUVReader, method).__doc__.startswith(f"{method}(self: {name}) -> None")
