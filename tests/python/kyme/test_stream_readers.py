"""setStreamData, H264Reader and JpegReader, on crafted files and on real
streams and pictures made by ffmpeg."""
import gc
import io
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import _quillon_pybind11 as quillon

kyme = quillon.kyme
MAX_UNIT = 0x1000000
FFMPEG = shutil.which("ffmpeg")
needs_ffmpeg = pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed")


def read_units(path):
    """All units of a file as (bytes, pts), read through H264Reader."""
    reader = kyme.H264Reader(str(path))
    reader.init()
    stream = kyme.stream()
    units = []
    while reader.getStream(stream):
        units.append((bytes(np.array(stream)), stream.pts))
    reader.release()
    return units


def open_fds():
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


class TestSetStreamData:
    def test_points_the_stream_at_the_array(self):
        data = np.arange(10, dtype=np.uint8)
        s = kyme.stream()
        s.pts = 7
        kyme.setStreamData(s, data)
        data[3] = 42
        assert bytes(np.array(s)) == data.tobytes()
        assert s.pts == 7 and s.inputBusAddress == 0
        assert quillon_address(s.stream) == data.ctypes.data
        grid = np.zeros((4, 5), dtype=np.uint8)
        kyme.setStreamData(s, grid)
        assert np.array(s).size == 20

    @pytest.mark.parametrize("argument", [[1, 2, 3], np.arange(4, dtype=np.float32), np.arange(8, dtype=np.uint8)[::2],
                                          b"abc"])
    def test_refuses_what_would_need_a_temporary_copy(self, argument):
        s = kyme.stream()
        with pytest.raises(TypeError, match="setStreamData"):
            kyme.setStreamData(s, argument)
        assert s.stream is None

    def test_refuses_more_than_four_gibibytes(self):
        try:
            huge = np.zeros(2**32, dtype=np.uint8)  # never touched: costs no memory
        except MemoryError:
            pytest.skip("no address space for a 4 GiB array")
        s = kyme.stream()
        with pytest.raises(ValueError, match="4294967295"):
            kyme.setStreamData(s, huge)
        assert s.stream is None

    def test_signatures(self):
        assert kyme.setStreamData.__doc__.startswith(
            "setStreamData(arg0: _quillon_pybind11.kyme.stream, arg1: numpy.ndarray[numpy.uint8]) -> None")
        for cls in (kyme.H264Reader, kyme.JpegReader):
            name = f"_quillon_pybind11.kyme.{cls.__name__}"
            assert f"__init__(self: {name}, arg0: str) -> None" in cls.__init__.__doc__
            assert cls.init.__doc__.startswith(f"init(self: {name}) -> None")
            assert cls.release.__doc__.startswith(f"release(self: {name}) -> None")
            assert cls.getStream.__doc__.startswith(
                f"getStream(self: {name}, arg0: _quillon_pybind11.kyme.stream) -> int")


def quillon_address(capsule):
    import _quillon_testctl as testctl
    return testctl.capsule_address(capsule)


class TestH264ReaderCrafted:
    def test_units_with_four_and_three_byte_start_codes(self, tmp_path):
        path = tmp_path / "three.h264"
        units = [b"\x00\x00\x00\x01\x67\xaa\xbb", b"\x00\x00\x01\x68\xcc", b"\x00\x00\x01\x65\x88\x84\x00\x10"]
        path.write_bytes(b"".join(units))
        reader = kyme.H264Reader(str(path))
        reader.init()
        s = kyme.stream()
        for pts, unit in enumerate(units):
            assert reader.getStream(s) == 1
            assert bytes(np.array(s)) == unit and s.pts == pts
        assert reader.getStream(s) == 0
        assert reader.getStream(s) == 0
        assert s.pts == 2 and bytes(np.array(s)) == units[-1]  # left as it was
        reader.release()

    def test_zeros_beyond_three_stay_with_the_unit_before(self, tmp_path):
        path = tmp_path / "zeros.h264"
        path.write_bytes(b"\x00\x00\x01\x09\xf0" + b"\x00" * 5 + b"\x01\x67\x42" + b"\x00" * 40)
        assert [u for u, _ in read_units(path)] == [
            b"\x00\x00\x01\x09\xf0\x00\x00", b"\x00\x00\x00\x01\x67\x42" + b"\x00" * 40]

    def test_bytes_before_the_first_start_code_are_skipped(self, tmp_path):
        path = tmp_path / "junk.h264"
        path.write_bytes(b"\x12\x00\x01\x00\x34\x00\x00\x01\x41\x01")
        assert read_units(path) == [(b"\x00\x00\x01\x41\x01", 0)]

    @pytest.mark.parametrize("content", [b"", b"\x00" * 100_000, b"\x01\x02\x00\x01"],
                             ids=["empty", "zeros", "no start code"])
    def test_no_unit(self, tmp_path, content):
        path = tmp_path / "none.h264"
        path.write_bytes(content)
        assert read_units(path) == []

    def test_unit_limit(self, tmp_path, capfd):
        fits = tmp_path / "fits.h264"
        body = b"\x00\x00\x01\x65" + b"\xff" * (MAX_UNIT - 4)
        fits.write_bytes(body + b"\x00\x00\x01\x68")
        units = read_units(fits)
        assert [len(u) for u, _ in units] == [MAX_UNIT, 4]

        too_long = tmp_path / "too_long.h264"
        too_long.write_bytes(b"\x00\x00\x01\x67\x42" + body + b"\xff" + b"\x00\x00\x01\x68")
        reader = kyme.H264Reader(str(too_long))
        reader.init()
        s = kyme.stream()
        assert reader.getStream(s) == 1 and bytes(np.array(s)) == b"\x00\x00\x01\x67\x42"
        capfd.readouterr()
        assert reader.getStream(s) == 0
        assert reader.getStream(s) == 0  # still at the unit that does not fit
        assert capfd.readouterr().err == "NAL does not fit provided buffer\n" * 2
        assert s.pts == 0
        reader.release()

    def test_lifecycle_without_a_file(self, tmp_path):
        s = kyme.stream()
        missing = kyme.H264Reader(str(tmp_path / "missing.h264"))
        assert missing.getStream(s) == 0  # before init
        missing.init()  # not reported
        assert missing.getStream(s) == 0
        missing.release()
        missing.release()
        assert s.stream is None

    def test_readers_close_their_file(self, tmp_path):
        path = tmp_path / "a.h264"
        path.write_bytes(b"\x00\x00\x01\x09\xf0" * 3)
        before = open_fds()
        reader = kyme.H264Reader(str(path))
        reader.init()
        reader.init()  # a second init reopens instead of leaking
        assert open_fds() == before + 1
        s = kyme.stream()
        assert reader.getStream(s) == 1
        del reader
        gc.collect()
        assert open_fds() == before + 1  # the stream points into the reader's buffer
        s = kyme.stream()
        gc.collect()
        assert open_fds() == before
        reader = kyme.H264Reader(str(path))
        reader.init()
        reader.release()
        assert reader.getStream(s) == 0
        assert open_fds() == before


# Real streams --------------------------------------------------------------

def encode(path, *codec, frames=12, size="176x144"):
    subprocess.run([FFMPEG, "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                    "-i", f"testsrc2=size={size}:rate=25", "-frames:v", str(frames), *codec, str(path)], check=True)
    return path


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
    h264 = encode(folder / "slices.h264", "-c:v", "libx264", "-x264-params", "slices=4", "-f", "h264")
    hevc = encode(folder / "main.hevc", "-c:v", "libx265", "-x265-params", "log-level=error:slices=2", "-f", "hevc")
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
    data = path.read_bytes()
    units = read_units(path)
    assert b"".join(u for u, _ in units) == data
    assert [pts for _, pts in units] == list(range(len(units)))
    assert all(u.startswith(b"\x00\x00\x01") or u.startswith(b"\x00\x00\x00\x01") for u, _ in units)
    assert len(units) == traced_unit_count(path)
    if name == "h264":
        four = sum(u.startswith(b"\x00\x00\x00\x01") for u, _ in units)
        assert 0 < four < len(units)  # both start code forms occur
    if name == "zeros":
        assert max(len(u) - len(u.rstrip(b"\x00")) for u, _ in units) >= 700


# JPEG ----------------------------------------------------------------------

def jpeg_length(path):
    reader = kyme.JpegReader(str(path))
    reader.init()
    s = kyme.stream()
    result = reader.getStream(s)
    data = bytes(np.array(s))
    assert s.pts == 0
    reader.release()
    return result, data


@pytest.fixture(scope="session")
def jpegs(tmp_path_factory):
    from PIL import Image
    folder = tmp_path_factory.mktemp("jpeg")
    image = Image.effect_mandelbrot((96, 64), (-2, -1, 1, 1), 100).convert("RGB")
    baseline = io.BytesIO()
    image.save(baseline, "JPEG", quality=80)
    progressive = io.BytesIO()
    image.save(progressive, "JPEG", quality=80, progressive=True)
    thumbnail = io.BytesIO()
    image.resize((16, 12)).save(thumbnail, "JPEG", quality=50)
    files = {"baseline": baseline.getvalue(), "progressive": progressive.getvalue(), "thumb": thumbnail.getvalue()}
    if FFMPEG is not None:
        encode(folder / "mjpeg.jpg", "-c:v", "mjpeg", "-update", "1", frames=1, size="320x240")
        files["mjpeg"] = (folder / "mjpeg.jpg").read_bytes()
    return folder, files


def with_segment(jpeg, marker, payload):
    """The picture with one more segment right after its start of image."""
    return jpeg[:2] + marker + (len(payload) + 2).to_bytes(2, "big") + payload + jpeg[2:]


class TestJpegReader:
    @pytest.mark.parametrize("name", ["baseline", "progressive", "mjpeg"])
    def test_whole_file(self, jpegs, name):
        folder, files = jpegs
        if name not in files:
            pytest.skip("ffmpeg is not installed")
        path = folder / f"{name}-whole.jpg"
        path.write_bytes(files[name])
        assert jpeg_length(path) == (1, files[name])

    def test_trailing_bytes(self, jpegs, tmp_path):
        _, files = jpegs
        # After a baseline frame the first end of image counts...
        path = tmp_path / "baseline-trailing.jpg"
        path.write_bytes(files["baseline"] + b"\x00\xff\xd9trailer")
        assert jpeg_length(path) == (1, files["baseline"])
        # ...after a progressive one the last.
        path = tmp_path / "progressive-trailing.jpg"
        path.write_bytes(files["progressive"] + b"\x00\xff\xd9trailer")
        assert jpeg_length(path) == (1, files["progressive"] + b"\x00\xff\xd9")

    def test_thumbnails_do_not_end_the_picture(self, jpegs, tmp_path):
        _, files = jpegs
        jfxx = with_segment(files["baseline"], b"\xff\xe0", b"JFXX\x00\x10" + files["thumb"])
        exif = with_segment(files["baseline"], b"\xff\xe1", b"Exif\x00\x00" + files["thumb"])
        for name, content in [("jfxx", jfxx), ("exif", exif)]:
            path = tmp_path / f"{name}.jpg"
            path.write_bytes(content)
            assert jpeg_length(path) == (1, content)

    def test_missing_end_of_image(self, jpegs, tmp_path, capfd):
        _, files = jpegs
        path = tmp_path / "cut.jpg"
        path.write_bytes(files["baseline"][:-2])
        capfd.readouterr()
        assert jpeg_length(path) == (0, b"")
        assert capfd.readouterr().out == "EOI missing from end of file!\n"
        # A thumbnail that ended before gives its length.
        jfxx = with_segment(files["baseline"], b"\xff\xe0", b"JFXX\x00\x10" + files["thumb"])
        path.write_bytes(jfxx[:-2])
        result, data = jpeg_length(path)
        assert result == 1 and data == jfxx[:jfxx.index(b"\xff\xd9") + 2]
        path.write_bytes(b"")
        assert jpeg_length(path) == (0, b"")

    def test_unopenable_files_raise_and_the_process_goes_on(self, tmp_path):
        s = kyme.stream()
        missing = tmp_path / "missing.jpg"
        reader = kyme.JpegReader(str(missing))
        reader.init()
        with pytest.raises(FileNotFoundError, match="Unable to open input file") as caught:
            reader.getStream(s)
        assert str(missing) in str(caught.value)
        reader = kyme.JpegReader(str(tmp_path))
        reader.init()
        with pytest.raises(IsADirectoryError, match="Unable to open input file"):
            reader.getStream(s)
        assert s.stream is None

    def test_lifecycle(self, jpegs, tmp_path):
        _, files = jpegs
        path = tmp_path / "a.jpg"
        path.write_bytes(files["baseline"])
        reader = kyme.JpegReader(str(path))
        s = kyme.stream()
        assert reader.getStream(s) == 0  # before init
        reader.init()
        assert reader.getStream(s) == 1 and reader.getStream(s) == 1
        assert bytes(np.array(s)) == files["baseline"] and s.pts == 0
        reader.release()
        reader.release()
        assert reader.getStream(s) == 0

    def test_files_of_four_gibibytes_and_more_use_their_full_size(self, jpegs, tmp_path):
        _, files = jpegs
        path = tmp_path / "sparse.jpg"
        with open(path, "wb") as f:
            f.write(files["baseline"])
            f.truncate(2**32 + 16)  # sparse: the size's low 32 bits are 16
        assert jpeg_length(path) == (1, files["baseline"])



RELEASED_VIEWS = r"""
import sys
import _quillon_pybind11 as quillon
kyme = quillon.kyme

def view(record):
    try:
        memoryview(record)
    except RuntimeError as error:
        return str(error)
    return "read"

h264, yuv, jpeg = sys.argv[1:4]
reader = kyme.H264Reader(h264)
reader.init()
s = kyme.stream()
assert reader.getStream(s) == 1 and view(s) == "read"
reader.release()
print(view(s))
reader = kyme.YUVReader(yuv, kyme.pixelFormat.KYME_PIX_FMT_NV12, 1920, 1080, 1920)
reader.init()
f = kyme.frame()
assert reader.getFrame(f) == 1 and view(f) == "read"
reader.release()
print(view(f))
reader = kyme.JpegReader(jpeg)
reader.init()
assert reader.getStream(s) == 1 and view(s) == "read"
reader.release()
print(view(s))
"""


def test_views_of_released_buffers_are_refused(tmp_path):
    """A stream or frame viewed after its reader's release must neither fault
    the process nor read freed memory: release takes the address back from
    the records the reader filled. The child's allocator gives back every
    large block when it is freed, so a read of a freed buffer would fault."""
    import sys
    h264 = tmp_path / "one.h264"
    h264.write_bytes(b"\x00\x00\x01\x65" + b"\xab" * 100)
    yuv = tmp_path / "one.yuv"
    yuv.write_bytes(bytes(1920 * 1080 * 3 // 2))
    jpeg = tmp_path / "one.jpg"
    jpeg.write_bytes(b"\xff\xd8" + b"\x00" * 64 + b"\xff\xd9")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MALLOC_MMAP_THRESHOLD_="131072")
    run = subprocess.run([sys.executable, "-c", RELEASED_VIEWS, str(h264), str(yuv), str(jpeg)], capture_output=True,
                         text=True, env=env, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "The stream has no data address but a length of 104 bytes (was the reader that filled it released?).",
        "The frame has no data address but a size of 3110400 bytes (was the reader that filled it released?).",
        "The stream has no data address but a length of 68 bytes (was the reader that filled it released?)."]


@pytest.mark.parametrize("first_size, second_size", [(16, 4 << 20), (20000, 5000), (100000, 40000)])
def test_a_jpeg_of_another_size_takes_the_buffer_away_from_earlier_streams(tmp_path, first_size, second_size):
    """A file that grows or shrinks enough gets a new buffer. The allocator
    often gives a shrunk one the old address: an earlier stream must still
    not read its old length from there."""
    path = tmp_path / "changes.jpg"
    first_bytes = b"\xff\xd8" + b"\x11" * first_size + b"\xff\xd9"
    path.write_bytes(first_bytes)
    reader = kyme.JpegReader(str(path))
    reader.init()
    first, second = kyme.stream(), kyme.stream()
    assert reader.getStream(first) == 1
    assert bytes(memoryview(first)) == first_bytes
    second_bytes = b"\xff\xd8" + b"\x22" * second_size + b"\xff\xd9"
    path.write_bytes(second_bytes)
    assert reader.getStream(second) == 1
    assert bytes(memoryview(second)) == second_bytes
    with pytest.raises(RuntimeError, match=r"was the reader that filled it released\?"):
        memoryview(first)
    reader.release()


def test_release_reaches_every_stream_kept_among_many(tmp_path):
    """Records that died are forgotten along the way; the ones kept, and
    records that took a dead one's address, are still taken back."""
    path = tmp_path / "many.h264"
    path.write_bytes((b"\x00\x00\x01\x41" + b"\xab" * 20) * 1000)
    reader = kyme.H264Reader(str(path))
    reader.init()
    kept = []
    for index in range(1000):
        stream = kyme.stream()
        assert reader.getStream(stream) == 1
        if index % 3 == 0:
            kept.append(stream)
        del stream
    reader.release()
    for stream in kept:
        with pytest.raises(RuntimeError, match="no data address"):
            memoryview(stream)


def test_records_keep_the_owner_of_their_bytes_alive(tmp_path):
    """A reader dropped without release lives on while a stream or frame it
    filled points into its buffer, and only the last owner is kept."""
    import weakref
    h264 = tmp_path / "two.h264"
    units = [b"\x00\x00\x01\x65" + b"\xab" * 50, b"\x00\x00\x01\x41" + b"\xcd" * 50]
    h264.write_bytes(b"".join(units))
    before = open_fds()
    (tmp_path / "none.jpg").write_bytes(b"\xff\xd8\xff\xd9")
    readers, s = [], kyme.stream()
    for fill in range(2):
        reader = kyme.H264Reader(str(h264))
        reader.init()
        for unit in units[:fill + 1]:
            assert reader.getStream(s) == 1
        readers.append(weakref.ref(reader))
        del reader
        gc.collect()
        assert bytes(np.array(s)) == unit
    assert readers[0]() is None and readers[1]() is not None  # the first is no longer pointed into
    jpeg = kyme.JpegReader(str(tmp_path / "none.jpg"))
    jpeg.init()
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

    yuv = tmp_path / "one.yuv"
    yuv.write_bytes(bytes(range(24)))
    reader = kyme.YUVReader(str(yuv), kyme.pixelFormat.KYME_PIX_FMT_NV12, 4, 4, 4)
    reader.init()
    alive = weakref.ref(reader)
    frame = kyme.frame()
    assert reader.getFrame(frame) == 1
    del reader
    gc.collect()
    assert alive() is not None and bytes(np.array(frame)) == bytes(range(24))
    del frame
    gc.collect()
    assert alive() is None and open_fds() == before
