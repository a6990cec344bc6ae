"""Shared by the decoder tests: streams made with ffmpeg, its own per-picture
digests, and a loop that decodes through a channel to host pictures."""
import hashlib
import subprocess

import numpy as np

import _quillon_pybind11 as quillon
from conftest import pattern_video

kyme = quillon.kyme
OK, EOS, TIMEOUT, WRONG_STATE, UNKNOWN_FRAME = 0, 401002, 402007, 402006, 402010

# name: (codec, ffmpeg encoder arguments, output format, framemd5 format)
STREAMS = {
    "h264": ("KYME_CODEC_DEC_H264", ["-c:v", "libx264", "-bf", "3", "-g", "12", "-x264-params", "slices=3"],
             "KYME_PIX_FMT_YUV420P", "yuv420p"),
    "hevc": ("KYME_CODEC_DEC_HEVC", ["-c:v", "libx265", "-x265-params", "log-level=error:keyint=12:bframes=3"],
             "KYME_PIX_FMT_YUV420P", "yuv420p"),
    "hevc10": ("KYME_CODEC_DEC_HEVC", ["-pix_fmt", "yuv420p10le", "-c:v", "libx265", "-x265-params",
                                       "log-level=error:keyint=12:bframes=3:open-gop=1"],
               "KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010", "yuv420p10le"),
}


def encode(path, name):
    return pattern_video(path, *STREAMS[name][1], "-f", "hevc" if name.startswith("hevc") else "h264", size="322x178")


def reference(path, pixel_format, *decoding):
    """ffmpeg's digest of each picture; `decoding`: its decoder's options."""
    out = subprocess.run(["ffmpeg", "-v", "error", *decoding, "-i", str(path), "-f", "framemd5", "-pix_fmt", pixel_format, "-"],
                         check=True, capture_output=True, text=True).stdout
    return [line.rsplit(",", 1)[1].strip() for line in out.splitlines() if not line.startswith("#")]


def parameters(codec, pixel_format="KYME_PIX_FMT_YUV420P", extra=0, every_processor=False):
    p = kyme.decChannelParamters()
    p.codecType = getattr(kyme.codecType, codec)
    p.pixelFormat = getattr(kyme.pixelFormat, pixel_format)
    p.extraBufferNumber = extra
    p.enableMC = int(every_processor)
    return p


def open_channel(channel, *args, **kwargs):
    assert kyme.createDecoderChannel(parameters(*args, **kwargs), channel) == OK
    assert kyme.startDecoder(channel) == OK


def jpeg_decoded(path, channel=0):
    """The picture a started JPEG channel decodes from the file synchronously, as host bytes."""
    frame = kyme.frame()
    assert kyme.jpegSyncDecoder(channel, str(path), frame, 5000) == OK
    assert kyme.transferFrameFromDecoder(channel, frame, False) == OK
    pixels = np.array(memoryview(frame))
    assert kyme.decReleaseFrame(channel, frame, 0) == OK
    return pixels


def host_options():
    options = kyme.decOutputOptions()
    options.memoryType = kyme.memoryType.KYME_MEM_HOST
    return options


class Decoder:
    """Sends pieces of a stream to a channel and collects the digest of each
    picture it gives back, releasing every picture."""

    def __init__(self, channel):
        self.channel, self.digests, self.frame = channel, [], kyme.frame()
        self.types, self.record = [], kyme.stream()

    def drain(self, timeout=0):
        while True:
            code = kyme.receiveFrameFromDecoder(self.channel, self.frame, kyme.decOutputOptions(), timeout)
            if code != OK:
                return code
            assert kyme.transferFrameFromDecoder(self.channel, self.frame, False) == OK
            self.digests.append(hashlib.md5(memoryview(self.frame)).hexdigest())
            self.types.append(self.frame.frameType.name[-1])
            assert kyme.decReleaseFrame(self.channel, self.frame, 0) == OK

    def send(self, stream):
        """Sends a stream record, or an array through the decoder's own record."""
        if isinstance(stream, np.ndarray):
            kyme.setStreamData(self.record, stream)
            stream = self.record
        while (code := kyme.sendStreamToDecoder(self.channel, stream, 100)) == TIMEOUT:
            self.drain()
        assert code == OK
        self.drain()

    def finish(self):
        self.send(kyme.stream())
        assert self.drain(10000) == EOS
        return self.digests

    def decode(self, pieces):
        """The digests of a whole stream sent in `pieces`, then its end."""
        self.digests = []
        for piece in pieces:
            self.send(piece)
        return self.finish()


def nal_units(path):
    reader, stream = kyme.H264Reader(str(path)), kyme.stream()
    reader.init()
    while reader.getStream(stream):
        yield stream
    reader.release()


def chunks(data, sizes=(1, 7, 1000, 4093, 65536)):
    stream, position, i = kyme.stream(), 0, 0
    while position < len(data):
        piece = np.ascontiguousarray(data[position:position + sizes[i % len(sizes)]])
        kyme.setStreamData(stream, piece)
        yield stream
        position, i = position + piece.size, i + 1
