"""YUVReader: plane layouts, picture contents, counters and end of file (its
life is tested with the other readers')."""

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from test_stream_readers import started

kyme = quillon.kyme
fmt = kyme.pixelFormat


def counter_of(frame):
    """The 64-bit picture counter the reader stores at offset 72."""
    return int.from_bytes(testctl.peek(frame, 72, 8), "little", signed=True)


def pictures(path, count, size, tail=b""):
    data = np.random.default_rng(1).integers(0, 256, size * count, dtype=np.uint8).tobytes()
    path.write_bytes(data + tail)
    return [data[i * size:(i + 1) * size] for i in range(count)]


@pytest.mark.parametrize("pixel, width, height, stride, sizes, strides", [
    (fmt.KYME_PIX_FMT_NV12, 1919, 1079, 1919, [1919 * 1079, 1036800, 0], [1919, 1920, 0]),
    (fmt.KYME_PIX_FMT_NV21, 33, 17, 40, [680, 360, 0], [40, 40, 0]),
    (fmt.KYME_PIX_FMT_YUV420P, 31, 15, 35, [525, 144, 144], [35, 18, 18]),
])
def test_plane_layout_follows_the_stride(tmp_path, pixel, width, height, stride, sizes, strides):
    (picture,) = pictures(tmp_path / "one.yuv", 1, sum(sizes))
    reader, frame = started(kyme.YUVReader, tmp_path / "one.yuv", pixel, width, height, stride), kyme.frame()
    assert reader.getFrame(frame) == 1
    assert (frame.width, frame.height, frame.dataSize, frame.stride) == (width, height, sum(sizes), strides)
    base = testctl.capsule_address(frame.data[0])
    assert [None if d is None else testctl.capsule_address(d) - base for d in frame.data] == \
        [0, sizes[0], sizes[0] + sizes[1] if sizes[2] else None]
    assert (frame.memoryType, frame.pixelFormat, frame.busAddress) == (kyme.memoryType.KYME_MEM_HOST, pixel, [0] * 3)
    assert bytes(np.array(frame)) == picture
    reader.release()


def test_pictures_counters_and_seek(tmp_path):
    first, second = pictures(tmp_path / "two.yuv", 2, 6 * 4 + 2 * 3 * 2)
    reader, frame = started(kyme.YUVReader, tmp_path / "two.yuv", fmt.KYME_PIX_FMT_YUV420P, 6, 4, 6), kyme.frame()
    for counter, picture in [(0, first), (1, second)]:
        assert reader.getFrame(frame) == 1 and counter_of(frame) == counter and bytes(np.array(frame)) == picture
    assert reader.getFrame(frame) == 0 and counter_of(frame) == 1  # untouched
    reader.seek_to_start()
    assert reader.getFrame(frame) == 1 and counter_of(frame) == 3 and bytes(np.array(frame)) == first
    reader.release()


def test_truncated_final_picture_is_refused(tmp_path, capfd):
    size = 8 * 2 + 2 * 4 * 1
    # All planes but the last bytes of the second picture.
    (first,) = pictures(tmp_path / "short.yuv", 1, size, b"\x07" * (size - 3))
    reader, frame = started(kyme.YUVReader, tmp_path / "short.yuv", fmt.KYME_PIX_FMT_YUV420P, 8, 2, 8), kyme.frame()
    assert reader.getFrame(frame) == 1
    capfd.readouterr()
    assert reader.getFrame(frame) == 0 and capfd.readouterr().out == "Read data failed\n"
    assert bytes(np.array(frame)) == first and counter_of(frame) == 0
    assert reader.getFrame(frame) == 0 and capfd.readouterr().out == ""  # then the end of the file, silently
    reader.release()


@pytest.mark.parametrize("pixel, width, height, stride, message", [
    (fmt.KYME_PIX_FMT_RGB24, 8, 8, 8, "Sorry, format 18 is not supported yet!\n"),
    (fmt.KYME_PIX_FMT_NV12, 8, 8, -8, "Sorry, picture height 8 and stride -8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_NV12, 8, 0, 8, "Sorry, picture height 0 and stride 8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_NV12, -5, 8, 8, "Sorry, picture width -5 and stride 8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_NV12, 9, 8, 8, "Sorry, picture width 9 and stride 8 are not supported!\n"),
    (fmt.KYME_PIX_FMT_YUV420P, 8, 2**31 - 1, 2**31 - 1, "Sorry, pictures of "),
    (fmt.KYME_PIX_FMT_NV12, 4, 4, 4, "Fail to open file <{path}>\n"),
])
def test_refused_layouts_and_files(tmp_path, capfd, pixel, width, height, stride, message):
    if not message.startswith("Fail"):
        (tmp_path / "any.yuv").write_bytes(bytes(1024))
    reader, frame = started(kyme.YUVReader, tmp_path / "any.yuv", pixel, width, height, stride), kyme.frame()
    assert capfd.readouterr().out.startswith(message.format(path=tmp_path / "any.yuv")) and reader.getFrame(frame) == 0
    reader.release()
