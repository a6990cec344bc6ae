"""Where the encoder's pictures come from and where its output goes: JPEG
files that Pillow and the module's decoder read back, device and 10-bit
pictures straight from the decoder, and a YUV file's round trip through the
module's own readers."""
import io

import numpy as np
import pytest
from PIL import Image

from conftest import pattern_video
from decoding import host_options, open_channel
from encoding import (H264, HEVC, OK, UNSUPPORTED_FORMAT, Encoder, decoded, encode_file, first_frame, jpeg_parameters,
                      kyme, probe, psnr, raw_clip, video_parameters)

fmt = kyme.pixelFormat


def jpeg_channel(channel, pixel, comment):
    assert kyme.createEncoderChannel(jpeg_parameters(frameType=pixel, userData=comment), channel) == OK
    assert kyme.startEncoder(channel) == OK


def decode_jpeg(path):
    open_channel(0, "KYME_CODEC_DEC_JPEG")
    frame = kyme.frame()
    assert kyme.jpegSyncDecoder(0, str(path), frame, 5000) == OK
    assert kyme.transferFrameFromDecoder(0, frame, False) == OK
    pixels = np.array(frame).reshape(360, 320)
    assert kyme.decReleaseFrame(0, frame, 0) == OK and kyme.destroyDecoderChannel(0) == OK
    return pixels


@pytest.mark.parametrize("pix_fmt, pixel", [("yuv420p", fmt.KYME_PIX_FMT_YUV420P), ("nv21", fmt.KYME_PIX_FMT_NV21)])
def test_jpeg_carries_the_comment_and_decodes_close_to_the_source(media, tmp_path, pix_fmt, pixel):
    clip = raw_clip(tmp_path / "clip.yuv", 1, pix_fmt=pix_fmt)
    planar = np.fromfile(raw_clip(tmp_path / "planar.yuv", 1), np.uint8).reshape(360, 320)
    jpeg_channel(1, pixel, "made by the host SDK")
    reader, frame = first_frame(clip, pixel)
    synchronous, queued = kyme.stream(), kyme.stream()
    assert kyme.jpegSyncEncoder(1, frame, synchronous, None, 1000) == OK
    assert kyme.sendFrameToEncoder(1, frame, None, 1000) == OK
    assert kyme.receiveStreamFromEncoder(1, queued, 5000) == OK
    data = bytes(memoryview(synchronous))
    assert bytes(memoryview(queued)) == data  # each picture gets a fresh compressor
    assert kyme.encReleaseStream(1, synchronous, 0) == OK and kyme.encReleaseStream(1, queued, 0) == OK
    image = Image.open(io.BytesIO(data))
    assert image.size == (320, 240) and image.info["comment"] == b"made by the host SDK"
    (tmp_path / "out.jpg").write_bytes(data)
    assert psnr(decode_jpeg(tmp_path / "out.jpg"), planar) >= 38
    reader.release()


def test_jpeg_refuses_pictures_of_another_format(media, tmp_path):
    jpeg_channel(1, fmt.KYME_PIX_FMT_YUV420P, "")
    reader, frame = first_frame(raw_clip(tmp_path / "nv12.yuv", 1, pix_fmt="nv12"), fmt.KYME_PIX_FMT_NV12)
    assert kyme.jpegSyncEncoder(1, frame, kyme.stream(), None, 0) == UNSUPPORTED_FORMAT
    assert kyme.sendFrameToEncoder(1, frame, None, 0) == UNSUPPORTED_FORMAT
    reader.release()


def decoder_pictures(path, channel, pixel):
    """Device pictures the decoder gives for a stream file, each released after `yield`."""
    open_channel(channel, "KYME_CODEC_DEC_HEVC", pixel.name)
    reader, stream, frame = kyme.H264Reader(str(path)), kyme.stream(), kyme.frame()
    reader.init()
    while reader.getStream(stream):
        assert kyme.sendStreamToDecoder(channel, stream, 1000) == OK
    assert kyme.sendStreamToDecoder(channel, kyme.stream(), 1000) == OK
    reader.release()
    while kyme.receiveFrameFromDecoder(channel, frame, kyme.decOutputOptions(), 5000) == OK:
        assert frame.memoryType == kyme.memoryType.KYME_MEM_DEVICE
        yield frame
        assert kyme.decReleaseFrame(channel, frame, 0) == OK
    assert kyme.destroyDecoderChannel(channel) == OK


@pytest.mark.parametrize("codec, profile, pixel, expected", [
    (HEVC, kyme.videoProfile.KYME_VIDEO_PRFL_HEVC_MAIN_10, fmt.KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010, "Main 10"),
    (H264, kyme.videoProfile.KYME_VIDEO_PRFL_H264_HIGH_10, fmt.KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010, "High 10"),
])
def test_ten_bit_device_pictures_from_the_decoder(media, tmp_path, codec, profile, pixel, expected):
    source = tmp_path / "ten.hevc"
    pattern_video(source, "-pix_fmt", "yuv420p10le", "-c:v", "libx265", "-x265-params", "log-level=error", frames=8)
    params = video_parameters(codec, crf=22)
    params.videoConfig.profile = profile
    encoder = Encoder(1, params)
    for frame in decoder_pictures(source, 0, pixel):
        encoder.send(frame)
    out = tmp_path / "out.bin"
    out.write_bytes(encoder.finish())
    info = probe(out)
    assert (info["profile"], info["nb_read_frames"]) == (expected, "8")
    ours = decoded(out, 320, 240, "yuv420p10le")
    theirs = decoded(source, 320, 240, "yuv420p10le")
    assert psnr(ours.view(np.uint16) >> 2, theirs.view(np.uint16) >> 2) >= 38


def test_round_trip_through_the_module_readers_and_decoder(media, tmp_path):
    clip = raw_clip(tmp_path / "clip.yuv", 20)
    out = tmp_path / "clip.h264"
    out.write_bytes(encode_file(clip, video_parameters(H264, gopSize=3)))
    open_channel(0, "KYME_CODEC_DEC_H264")
    reader, stream, frame, pictures, sent = kyme.H264Reader(str(out)), kyme.stream(), kyme.frame(), [], True
    reader.init()
    while sent:
        sent = reader.getStream(stream)
        assert kyme.sendStreamToDecoder(0, stream if sent else kyme.stream(), 1000) == OK
        while kyme.receiveFrameFromDecoder(0, frame, host_options(), 0 if sent else 5000) == OK:
            pictures.append(np.array(frame).reshape(360, 320))
            assert kyme.decReleaseFrame(0, frame, 0) == OK
    reader.release()
    assert len(pictures) == 20
    assert psnr(np.array(pictures), np.fromfile(clip, np.uint8).reshape(-1, 360, 320)) >= 38


@pytest.mark.no_sanitizer
def test_full_hd_at_default_settings(media, tmp_path):
    clip = raw_clip(tmp_path / "hd.yuv", 5, size="1920x1080")
    params = video_parameters(H264, 1920, 1080)
    params.videoConfig.qualityMode = kyme.encQualityMode.KYME_GOLD_QUALITY
    out = tmp_path / "hd.h264"
    out.write_bytes(encode_file(clip, params))
    source = np.fromfile(clip, np.uint8).reshape(-1, 1620, 1920)
    assert psnr(decoded(out, 1920, 1080), source) >= 38
