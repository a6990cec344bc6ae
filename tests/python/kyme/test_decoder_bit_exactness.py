"""x264 and x265 streams decode to ffmpeg's pictures, digest for digest, however fed and with any thread count."""
import numpy as np
import pytest

from conftest import pattern_video
from decoding import OK, STREAMS, Decoder, chunks, encode, kyme, nal_units, open_channel, reference


@pytest.fixture(scope="module")
def streams(tmp_path_factory):
    folder = tmp_path_factory.mktemp("streams")
    made = {}
    for name, (codec, _, output, md5_format) in STREAMS.items():
        path = encode(folder / name, name)
        made[name] = (path, codec, output, reference(path, md5_format))
    return made


@pytest.mark.parametrize("threads", ["1", "2", ""])  # "": the channel chooses
@pytest.mark.parametrize("feed", ["nal_units", "chunks"])
@pytest.mark.parametrize("name", list(STREAMS))
def test_pictures_equal_ffmpegs(media, streams, monkeypatch, name, feed, threads):
    path, codec, output, expected = streams[name]
    monkeypatch.setenv("QUILLON_DECODE_THREADS", threads)
    open_channel(5, codec, output)
    decoder = Decoder(5)
    assert decoder.decode(nal_units(path) if feed == "nal_units" else chunks(np.fromfile(path, np.uint8))) == expected
    assert len(expected) == 30 and set(decoder.types) == {"I", "P", "B"}


FORMATS = [  # stream, output format, ffmpeg's name of it, strides of a 322 pixels wide picture
    ("h264", "KYME_PIX_FMT_NV12", "nv12", [322, 322, 0]),
    ("h264", "KYME_PIX_FMT_NV21", "nv21", [322, 322, 0]),
    ("hevc10", "KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010", "p010le", [644, 644, 0]),
    ("hevc10", "KYME_PIX_FMT_YUV420P10", "yuv420p10le", [644, 322, 322]),
]


@pytest.mark.parametrize("name, output, md5_format, strides", FORMATS)
def test_output_formats_and_picture_description(media, streams, name, output, md5_format, strides):
    path, codec, _, _ = streams[name]
    open_channel(0, codec, output)
    decoder = Decoder(0)
    assert decoder.decode(chunks(np.fromfile(path, np.uint8))) == reference(path, md5_format)
    frame = decoder.frame
    assert (frame.width, frame.height, frame.stride) == (322, 178, strides)
    assert frame.pixelFormat == getattr(kyme.pixelFormat, output) and frame.memoryType == kyme.memoryType.KYME_MEM_HOST
    assert (frame.cropInfo.flag, frame.cropInfo.width, frame.cropInfo.height) == (1, 322, 178)


def test_video_information(streams):
    path, _, _, _ = streams["h264"]
    data = np.fromfile(path, dtype=np.uint8)
    info, stream = kyme.decVideoInfo(), kyme.stream()
    kyme.setStreamData(stream, data)
    assert kyme.getVideoInfo(stream, kyme.codecType.KYME_CODEC_DEC_H264, info) == 0
    assert (info.width, info.height, info.cropFlag, info.cropWidth, info.cropHeight) == (336, 192, 1, 322, 178)
    assert (info.fps.numerator, info.fps.denominator, info.pixelFormat) == (25, 1, kyme.pixelFormat.KYME_PIX_FMT_YUV420P)


def damaged(path, into):
    """The stream with the middle of its sixth P or B slice overwritten."""
    data = bytearray(path.read_bytes())
    starts = [i + 3 for i in range(len(data) - 3) if data[i:i + 3] == b"\0\0\1"]
    slices = [s for s in starts if data[s] & 0x1F == 1]
    start, end = slices[5], next(s for s in starts if s > slices[5]) - 3
    middle = (start + end) // 2
    data[middle:middle + 24] = b"\xff" * 24
    into.write_bytes(bytes(data))
    return into


@pytest.mark.parametrize("name", ["h264", "hevc10"])
def test_a_closed_channels_pictures_show_in_no_later_stream(media, tmp_path, monkeypatch, name):
    # Each channel decodes into the pictures the one before left, as that one
    # left them: every stream still gives ffmpeg's pictures, a damaged one too
    # (its concealment reads only pictures decoded before), less the picture
    # with the damage, which the channel drops.
    codec, options, output, md5_format = STREAMS[name]
    container = ["-f", "hevc" if name.startswith("hevc") else "h264"]
    clean = pattern_video(tmp_path / "clean", *options, *container, size="640x360")
    negated = pattern_video(tmp_path / "negated", "-vf", "negate", *options, *container, size="640x360")
    passes = [(negated, "1"), (clean, "1"), (negated, "2"), (clean, "2")]
    if name == "h264":
        passes.insert(3, (damaged(clean, tmp_path / "damaged"), "1"))
    for path, threads in passes:
        monkeypatch.setenv("QUILLON_DECODE_THREADS", threads)
        open_channel(0, codec, output)
        got = Decoder(0).decode(chunks(np.fromfile(path, np.uint8)))
        expected = reference(path, md5_format, "-threads", threads)
        if path.name == "damaged":
            first = next(i for i, (a, b) in enumerate(zip(got, expected)) if a != b)
            expected = expected[:first] + expected[first + 1:]
        assert got == expected, (path.name, threads)
        assert kyme.stopDecoder(0) == OK and kyme.destroyDecoderChannel(0) == OK
