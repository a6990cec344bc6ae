"""setStreamData, H264Reader and JpegReader, on crafted files and on real
streams and pictures made by ffmpeg, and the life of the buffers they fill."""
import gc
import io
import os
import re
import shutil
import subprocess
import weakref

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import pattern_video

kyme = quillon.kyme
MAX_UNIT = 0x1000000
FFMPEG = shutil.which("ffmpeg")
needs_ffmpeg = pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed")
SMALL = {"size": "176x144", "frames": 12}


def started(cls, path, *args):
    reader = cls(str(path), *args)
    reader.init()
    return reader


def read_units(path):
    """All units of a file as (bytes, pts), read through H264Reader."""
    reader, stream, units = started(kyme.H264Reader, path), kyme.stream(), []
    while reader.getStream(stream):
        units.append((bytes(np.array(stream)), stream.pts))
    # The end stays the end and leaves the stream as it was.
    assert reader.getStream(stream) == 0 and (bytes(np.array(stream)), stream.pts) == (units[-1] if units else (b"", 0))
    reader.release()
    return units


def open_fds():
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


class TestSetStreamData:
    def test_points_the_stream_at_the_array(self):
        data, s = np.arange(10, dtype=np.uint8), kyme.stream()
        s.pts = 7
        kyme.setStreamData(s, data)
        first, view = np.array(s), memoryview(s)  # copies taken when requested
        data[3] = 42
        view[4] = 99
        assert first[3] == view[3] == 3 and data[4] == 4
        assert bytes(np.array(s)) == data.tobytes() and (s.pts, s.inputBusAddress) == (7, 0)
        assert testctl.capsule_address(s.stream) == data.ctypes.data
        kyme.setStreamData(s, np.zeros((4, 5), dtype=np.uint8))  # any shape, contiguous
        assert np.array(s).size == 20

    @pytest.mark.parametrize("argument", [[1, 2, 3], np.arange(4, dtype=np.float32), np.arange(8, dtype=np.uint8)[::2],
                                          b"abc"])
    def test_refuses_what_would_need_a_temporary_copy(self, argument):
        s = kyme.stream()
        pytest.raises(TypeError, kyme.setStreamData, s, argument).match("setStreamData")
        assert s.stream is None

    def test_refuses_more_than_four_gibibytes(self):
        try:
            huge = np.zeros(2**32, dtype=np.uint8)  # never touched: costs no memory
        except MemoryError:
            pytest.skip("no address space for a 4 GiB array")
        s = kyme.stream()
        pytest.raises(ValueError, kyme.setStreamData, s, huge).match("4294967295")
        assert s.stream is None


class TestH264ReaderCrafted:
    def test_unit_limit(self, tmp_path, capfd):
        body = b"\x00\x00\x01\x65" + b"\xff" * (MAX_UNIT - 4)
        (tmp_path / "fits.h264").write_bytes(body + b"\x00\x00\x01\x68")
        assert [len(u) for u, _ in read_units(tmp_path / "fits.h264")] == [MAX_UNIT, 4]
        (tmp_path / "long.h264").write_bytes(b"\x00\x00\x01\x67\x42" + body + b"\xff" + b"\x00\x00\x01\x68")
        reader, s = started(kyme.H264Reader, tmp_path / "long.h264"), kyme.stream()
        assert reader.getStream(s) == 1 and bytes(np.array(s)) == b"\x00\x00\x01\x67\x42"
        capfd.readouterr()
        assert reader.getStream(s) == 0 and reader.getStream(s) == 0  # still at the unit that does not fit
        assert capfd.readouterr().err == "NAL does not fit provided buffer\n" * 2 and s.pts == 0
        reader.release()

    def test_a_missing_file_reads_nothing_unreported(self, tmp_path):
        s, missing = kyme.stream(), started(kyme.H264Reader, tmp_path / "missing.h264")
        assert missing.getStream(s) == 0 and s.stream is None
        missing.release()


# Real streams --------------------------------------------------------------

def traced_unit_count(path):
    """The number of NAL units ffmpeg's trace_headers sees in the file's
    packets (the copy in the stream's extradata is not counted)."""
    log = subprocess.run([FFMPEG, "-hide_banner", "-nostats", "-i", str(path), "-c:v", "copy",
                          "-bsf:v", "trace_headers", "-f", "null", "-"], capture_output=True, text=True,
                         check=True).stderr
    count, in_packets = 0, False
    for line in log.splitlines():
        if "] Packet:" in line:
            in_packets = True
        elif in_packets and "forbidden_zero_bit" in line:
            count += 1
    return count


@pytest.fixture(scope="session")
def video_streams(tmp_path_factory):
    if FFMPEG is None:
        pytest.skip("ffmpeg is not installed")
    folder = tmp_path_factory.mktemp("video")
    h264 = pattern_video(folder / "slices.h264", "-c:v", "libx264", "-x264-params", "slices=4", "-f", "h264", **SMALL)
    hevc = pattern_video(folder / "main.hevc", "-c:v", "libx265", "-x265-params", "log-level=error:slices=2",
                         "-f", "hevc", **SMALL)
    # Long runs of zero bytes before some start codes, as Annex B allows.
    data = h264.read_bytes()
    out, last = bytearray(), 0
    for k, match in enumerate(re.finditer(b"\x00\x00\x01", data)):
        start = match.start() - 1 if match.start() > 0 and data[match.start() - 1] == 0 else match.start()
        if k % 3 == 1:
            out += data[last:start] + b"\x00" * (700 + k)
            last = start
    out += data[last:]
    zeros = folder / "zero_runs.h264"
    zeros.write_bytes(bytes(out))
    return {"h264": h264, "hevc": hevc, "zeros": zeros}


@needs_ffmpeg
@pytest.mark.parametrize("name", ["h264", "hevc", "zeros"])
def test_real_streams_are_cut_at_every_start_code(video_streams, name):
    path = video_streams[name]
    units = read_units(path)
    assert b"".join(u for u, _ in units) == path.read_bytes()
    assert [pts for _, pts in units] == list(range(len(units)))
    assert all(u.startswith(b"\x00\x00\x01") or u.startswith(b"\x00\x00\x00\x01") for u, _ in units)
    assert len(units) == traced_unit_count(path)
    if name == "h264":
        four = sum(u.startswith(b"\x00\x00\x00\x01") for u, _ in units)
        assert 0 < four < len(units)  # both start code forms occur
    if name == "zeros":
        assert max(len(u) - len(u.rstrip(b"\x00")) for u, _ in units) >= 700


# JPEG ----------------------------------------------------------------------

def jpeg_length(path, content=None):
    if content is not None:
        path.write_bytes(content)
    reader, s = started(kyme.JpegReader, path), kyme.stream()
    result = reader.getStream(s)
    data = bytes(np.array(s))
    assert s.pts == 0
    reader.release()
    return result, data


@pytest.fixture(scope="session")
def jpegs():
    from PIL import Image
    image = Image.effect_mandelbrot((96, 64), (-2, -1, 1, 1), 100).convert("RGB")
    files = {}
    for name, picture, options in [("baseline", image, {"quality": 80}),
                                   ("progressive", image, {"quality": 80, "progressive": True}),
                                   ("thumb", image.resize((16, 12)), {"quality": 50})]:
        out = io.BytesIO()
        picture.save(out, "JPEG", **options)
        files[name] = out.getvalue()
    return files


@pytest.fixture(scope="session")
def mjpeg(tmp_path_factory):
    if FFMPEG is None:
        pytest.skip("ffmpeg is not installed")
    path = tmp_path_factory.mktemp("jpeg") / "mjpeg.jpg"
    return pattern_video(path, "-c:v", "mjpeg", "-update", "1", frames=1).read_bytes()


def with_thumbnail(jpeg, thumb, marker=b"\xff\xe0", tag=b"JFXX\x00\x10"):
    """The picture with a thumbnail segment right after its start of image."""
    payload = tag + thumb
    return jpeg[:2] + marker + (len(payload) + 2).to_bytes(2, "big") + payload + jpeg[2:]


class TestJpegReader:
    def test_whole_files_trailing_bytes_and_thumbnails(self, jpegs, mjpeg, tmp_path):
        path = tmp_path / "a.jpg"
        for content in (jpegs["baseline"], jpegs["progressive"], mjpeg):
            assert jpeg_length(path, content) == (1, content)
        # After a baseline frame the first end of image counts, after a progressive one the last.
        assert jpeg_length(path, jpegs["baseline"] + b"\x00\xff\xd9trailer") == (1, jpegs["baseline"])
        assert jpeg_length(path, jpegs["progressive"] + b"\x00\xff\xd9trailer") == \
            (1, jpegs["progressive"] + b"\x00\xff\xd9")
        # Thumbnails do not end the picture.
        for marker, tag in [(b"\xff\xe0", b"JFXX\x00\x10"), (b"\xff\xe1", b"Exif\x00\x00")]:
            content = with_thumbnail(jpegs["baseline"], jpegs["thumb"], marker, tag)
            assert jpeg_length(path, content) == (1, content)

    def test_missing_end_of_image(self, jpegs, tmp_path, capfd):
        path = tmp_path / "cut.jpg"
        capfd.readouterr()
        assert jpeg_length(path, jpegs["baseline"][:-2]) == (0, b"")
        assert capfd.readouterr().out == "EOI missing from end of file!\n"
        # A thumbnail that ended before gives its length.
        jfxx = with_thumbnail(jpegs["baseline"], jpegs["thumb"])
        assert jpeg_length(path, jfxx[:-2]) == (1, jfxx[:jfxx.index(b"\xff\xd9") + 2])
        assert jpeg_length(path, b"") == (0, b"")

    def test_unopenable_files_raise_and_the_process_goes_on(self, tmp_path):
        s, missing = kyme.stream(), tmp_path / "missing.jpg"
        with pytest.raises(FileNotFoundError, match="Unable to open input file") as caught:
            started(kyme.JpegReader, missing).getStream(s)
        assert str(missing) in str(caught.value)
        pytest.raises(IsADirectoryError, started(kyme.JpegReader, tmp_path).getStream, s).match("Unable to open input")
        assert s.stream is None

    def test_files_of_four_gibibytes_and_more_use_their_full_size(self, jpegs, tmp_path):
        path = tmp_path / "sparse.jpg"
        with open(path, "wb") as f:
            f.write(jpegs["baseline"])
            f.truncate(2**32 + 16)  # sparse: the size's low 32 bits are 16
        assert jpeg_length(path) == (1, jpegs["baseline"])


# The buffers' life ----------------------------------------------------------

@pytest.mark.parametrize("first_size, second_size", [(16, 4 << 20), (20000, 5000), (100000, 40000)])
def test_a_jpeg_of_another_size_takes_the_buffer_away_from_earlier_streams(tmp_path, first_size, second_size):
    """A file that grows or shrinks enough gets a new buffer. The allocator
    often gives a shrunk one the old address: an earlier stream must still
    not read its old length from there."""
    path = tmp_path / "changes.jpg"
    first_bytes, second_bytes = (b"\xff\xd8" + fill * size + b"\xff\xd9"
                                 for fill, size in ((b"\x11", first_size), (b"\x22", second_size)))
    path.write_bytes(first_bytes)
    reader, first, second = started(kyme.JpegReader, path), kyme.stream(), kyme.stream()
    assert reader.getStream(first) == 1 and bytes(memoryview(first)) == first_bytes
    path.write_bytes(second_bytes)
    assert reader.getStream(second) == 1 and bytes(memoryview(second)) == second_bytes
    pytest.raises(RuntimeError, memoryview, first).match(r"was the reader that filled it released\?")
    reader.release()


def test_release_reaches_every_stream_kept_among_many(tmp_path):
    """Records that died are forgotten along the way; the ones kept, and
    records that took a dead one's address, are still taken back."""
    path = tmp_path / "many.h264"
    path.write_bytes((b"\x00\x00\x01\x41" + b"\xab" * 20) * 1000)
    reader, kept = started(kyme.H264Reader, path), []
    for index in range(1000):
        stream = kyme.stream()
        assert reader.getStream(stream) == 1
        if index % 3 == 0:
            kept.append(stream)
        del stream
    reader.release()
    for stream in kept:
        pytest.raises(RuntimeError, memoryview, stream).match("no data address")


def test_records_keep_the_owner_of_their_bytes_alive(tmp_path):
    """A reader dropped without release lives on while a stream or frame it
    filled points into its buffer, and only the last owner is kept."""
    h264 = tmp_path / "two.h264"
    units = [b"\x00\x00\x01\x65" + b"\xab" * 50, b"\x00\x00\x01\x41" + b"\xcd" * 50]
    h264.write_bytes(b"".join(units))
    before = open_fds()
    (tmp_path / "none.jpg").write_bytes(b"\xff\xd8\xff\xd9")
    readers, s = [], kyme.stream()
    for fill in range(2):
        reader = started(kyme.H264Reader, h264)
        for unit in units[:fill + 1]:
            assert reader.getStream(s) == 1
        readers.append(weakref.ref(reader))
        del reader
        gc.collect()
        assert bytes(np.array(s)) == unit
    assert readers[0]() is None and readers[1]() is not None  # the first is no longer pointed into
    jpeg = started(kyme.JpegReader, tmp_path / "none.jpg")
    assert jpeg.getStream(s) == 1
    del jpeg
    gc.collect()
    assert readers[1]() is None and bytes(np.array(s)) == b"\xff\xd8\xff\xd9"
    array = np.arange(6, dtype=np.uint8)
    owner = weakref.ref(array)
    kyme.setStreamData(s, array)
    del array
    gc.collect()
    assert owner() is not None and bytes(np.array(s)) == bytes(range(6))
    del s
    gc.collect()
    assert owner() is None and open_fds() == before


READERS = {  # a reader of a file, what it fills, the file's first record, the files it keeps open
    "h264": (kyme.H264Reader, (), kyme.stream, b"\x00\x00\x01\x09\xf0", 1),
    "jpeg": (kyme.JpegReader, (), kyme.stream, b"\xff\xd8\xff\xd9", 0),
    "yuv": (kyme.YUVReader, (kyme.pixelFormat.KYME_PIX_FMT_NV21, 4, 2, 4), kyme.frame, bytes(range(12)), 1),
}


@pytest.mark.parametrize("kind", READERS)
def test_reader_life_and_the_files_it_holds(tmp_path, kind):
    """Reads before init and after release find nothing, views of what was read
    are refused after release, a second init starts over without leaking its
    file, and a reader dropped while a record points into its buffer lives on
    until that record goes."""
    cls, args, record_type, first, files = READERS[kind]
    path = tmp_path / "two"
    path.write_bytes(first * 2)
    before, record = open_fds(), record_type()
    reader = cls(str(path), *args)
    fill = reader.getFrame if kind == "yuv" else reader.getStream
    assert fill(record) == 0
    reader.init()
    reader.init()
    assert open_fds() == before + files and fill(record) == 1
    reader.release()
    reader.release()
    # Release takes the address back from the records the reader filled.
    noun = "frame has no data address but a size" if kind == "yuv" else "stream has no data address but a length"
    assert str(pytest.raises(RuntimeError, memoryview, record).value) == \
        f"The {noun} of {len(first)} bytes (was the reader that filled it released?)."
    assert fill(record) == 0 and open_fds() == before
    if kind == "yuv":
        reader.seek_to_start()
    reader.init()
    assert fill(record) == 1
    alive = weakref.ref(reader)
    del reader, fill
    gc.collect()
    assert alive() is not None and open_fds() == before + files and bytes(np.array(record)) == first
    del record
    gc.collect()
    assert alive() is None and open_fds() == before
