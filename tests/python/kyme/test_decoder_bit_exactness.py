"""Streams made by x264 and x265 decode through the module to the same
pictures, digest for digest in output order, as ffmpeg's own decode: fed one
NAL unit at a time or in arbitrary cuts, with one, two and automatic threads."""
import shutil

import numpy as np
import pytest

from decoding import STREAMS, Decoder, chunks, encode, kyme, nal_units, open_channel, reference

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")


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
    pieces = nal_units(path) if feed == "nal_units" else chunks(np.fromfile(path, dtype=np.uint8))
    for stream in pieces:
        decoder.send(stream)
    assert decoder.finish() == expected
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
    for stream in chunks(np.fromfile(path, dtype=np.uint8)):
        decoder.send(stream)
    assert decoder.finish() == reference(path, md5_format)
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
