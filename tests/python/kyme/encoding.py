"""Shared by the encoder tests: raw clips made with ffmpeg, a channel's encoding loop, ffmpeg's view of the result."""
import subprocess

import numpy as np

import _quillon_pybind11 as quillon
from conftest import ffprobe, pattern_video, psnr  # noqa: F401 (the encoder tests take psnr from here)

kyme = quillon.kyme
OK, EOS, TIMEOUT = 0, 401002, 402007
INVALID_ARGUMENT, WRONG_STATE = 402001, 402006
UNSUPPORTED_CONFIG, UNKNOWN_STREAM, UNSUPPORTED_FORMAT = 402012, 402013, 402014
DEFAULT = 0xFFFFFFFF
H264, HEVC = kyme.codecType.KYME_CODEC_ENC_H264, kyme.codecType.KYME_CODEC_ENC_HEVC


def raw_clip(path, frames, size="320x240", pix_fmt="yuv420p"):
    return pattern_video(path, "-pix_fmt", pix_fmt, "-f", "rawvideo", size=size, frames=frames)


def video_parameters(codec, width=320, height=240, **fields):
    p = kyme.encChannelParamters()
    p.codecType = codec
    v = p.videoConfig
    v.width, v.height = width, height
    v.frameRate.numerator, v.frameRate.denominator = 25, 1
    v.qualityMode = kyme.encQualityMode.KYME_BRONZE_QUALITY  # ultrafast: tests stay quick
    for name, value in fields.items():
        setattr(v, name, value)
    return p


def jpeg_parameters(width=320, height=240, **fields):
    p = kyme.encChannelParamters()
    p.codecType = kyme.codecType.KYME_CODEC_ENC_JPEG
    p.jpegConfig.codingWidth, p.jpegConfig.codingHeight = width, height
    for name, value in fields.items():
        setattr(p.jpegConfig, name, value)
    return p


class Encoder:
    """A started channel whose coded units are collected, each released."""

    def __init__(self, channel, parameters):
        assert kyme.createEncoderChannel(parameters, channel) == OK and kyme.startEncoder(channel) == OK
        self.channel, self.units, self.pts, self.stream = channel, [], [], kyme.stream()

    def drain(self, timeout=0):
        while (code := kyme.receiveStreamFromEncoder(self.channel, self.stream, timeout)) == OK:
            self.units.append(bytes(memoryview(self.stream)))
            self.pts.append(self.stream.pts)
            assert kyme.encReleaseStream(self.channel, self.stream, 0) == OK
        return code

    def send(self, frame, params=None):
        while (code := kyme.sendFrameToEncoder(self.channel, frame, params, 100)) == TIMEOUT:
            self.drain()
        assert code == OK
        self.drain()

    def finish(self):
        assert kyme.sendFrameToEncoder(self.channel, kyme.frame(), None, 1000) == OK
        assert self.drain(60000) == EOS
        assert kyme.stopEncoder(self.channel) == OK and kyme.destroyEncoderChannel(self.channel) == OK
        return b"".join(self.units)


def first_frame(path, pixel=kyme.pixelFormat.KYME_PIX_FMT_YUV420P, width=320, height=240):
    """A started reader of a raw file and its first picture."""
    reader, frame = kyme.YUVReader(str(path), pixel, width, height, width), kyme.frame()
    reader.init()
    assert reader.getFrame(frame)
    return reader, frame


def encode_file(path, parameters, pix=kyme.pixelFormat.KYME_PIX_FMT_YUV420P, params_of=lambda index: None,
                channel=0):
    """Encodes every picture of a raw file; `params_of(i)` gives picture i's extended parameters."""
    v = parameters.videoConfig
    reader, frame = kyme.YUVReader(str(path), pix, v.width, v.height, v.width), kyme.frame()
    reader.init()
    encoder, index = Encoder(channel, parameters), 0
    while reader.getFrame(frame):
        encoder.send(frame, params_of(index))
        index += 1
    reader.release()
    return encoder.finish()


def probe(path):
    return ffprobe(path, "stream=codec_name,profile,level,width,height,nb_read_frames")["streams"][0]


def decoded(path, width, height, pix_fmt="yuv420p"):
    """ffmpeg's pictures of a stream as (count, height*3/2, width) luma+chroma rows; fails on any error."""
    run = subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-i", str(path), "-f", "rawvideo", "-pix_fmt", pix_fmt,
                          "-"], capture_output=True, check=True)
    assert run.stderr == b""
    return np.frombuffer(run.stdout, np.uint8).reshape(-1, height * 3 // 2, width)

