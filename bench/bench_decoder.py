"""Decoding through the module against ffmpeg and Pillow on the same files.

Video: a 1080p stream of 300 pictures (H.264, then HEVC), fed one NAL unit at
a time from H264Reader; every picture is received, transferred to the host
and released. The baseline is `ffmpeg -threads N -i STREAM -f null -` with
the same number N of decoding threads (QUILLON_DECODE_THREADS for the
channel). Pictures per second of the module over ffmpeg's; target 0.85.

JPEG: a 4000x3000 picture decoded to host RGB with jpegSyncDecoder (file read
included), against Pillow's Image.open(f).load(); target 0.9.
"""
import os
import subprocess
import tempfile

import numpy as np

from harness import interleaved

PICTURES = 300
VIDEO = {
    "H.264": ("KYME_CODEC_DEC_H264", ["-c:v", "libx264", "-preset", "veryfast", "-bf", "3"], "h264"),
    "HEVC": ("KYME_CODEC_DEC_HEVC", ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error"],
             "hevc"),
}


def encode(folder, name):
    _, args, container = VIDEO[name]
    path = os.path.join(folder, f"clip.{container}")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30",
                    "-frames:v", str(PICTURES), *args, "-f", container, path], check=True)
    return path


def module_decode(kyme, codec, path):
    p = kyme.decChannelParamters()
    p.codecType = getattr(kyme.codecType, codec)
    assert kyme.createDecoderChannel(p, 0) == 0 and kyme.startDecoder(0) == 0
    reader, stream, frame, options = kyme.H264Reader(path), kyme.stream(), kyme.frame(), kyme.decOutputOptions()
    reader.init()
    pictures = 0

    def drain(timeout):
        nonlocal pictures
        while kyme.receiveFrameFromDecoder(0, frame, options, timeout) == 0:
            kyme.transferFrameFromDecoder(0, frame, False)
            kyme.decReleaseFrame(0, frame, 0)
            pictures += 1

    while reader.getStream(stream):
        while kyme.sendStreamToDecoder(0, stream, 5) != 0:
            drain(0)
        drain(0)
    kyme.sendStreamToDecoder(0, kyme.stream(), 1000)
    drain(10000)
    reader.release()
    kyme.destroyDecoderChannel(0)
    assert pictures == PICTURES, pictures


def ffmpeg_decode(path, threads):
    subprocess.run(["ffmpeg", "-v", "error", "-threads", str(threads), "-i", path, "-f", "null", "-"], check=True)


def jpeg(report, kyme, folder):
    from PIL import Image
    y, x = np.mgrid[0:3000, 0:4000]
    rgb = np.stack([(x * 255 // 4000), (y * 255 // 3000), ((x ^ y) & 255)], axis=2).astype(np.uint8)
    path = os.path.join(folder, "big.jpg")
    Image.fromarray(rgb).save(path, quality=90)
    p = kyme.decChannelParamters()
    p.codecType = kyme.codecType.KYME_CODEC_DEC_JPEG
    p.pixelFormat = kyme.pixelFormat.KYME_PIX_FMT_RGB24
    assert kyme.createDecoderChannel(p, 0) == 0 and kyme.startDecoder(0) == 0
    frame = kyme.frame()

    def through_module():
        assert kyme.jpegSyncDecoder(0, path, frame, 10000) == 0
        kyme.transferFrameFromDecoder(0, frame, False)
        kyme.decReleaseFrame(0, frame, 0)

    def pillow():
        with Image.open(path) as image:
            image.load()

    ours, theirs = interleaved([through_module, pillow], number=1, repeat=7)
    kyme.destroyDecoderChannel(0)
    report.ratio("decode JPEG 4000x3000 to RGB vs Pillow", theirs / ours, 0.9, True,
                 f"{ours * 1e3:.1f} ms vs {theirs * 1e3:.1f} ms")


def run(report):
    import _quillon_pybind11 as quillon
    kyme = quillon.kyme
    kyme.systemUninitialize()
    kyme.systemInitialize()
    with tempfile.TemporaryDirectory() as folder:
        jpeg(report, kyme, folder)
        for name, (codec, _, _) in VIDEO.items():
            path = encode(folder, name)
            for threads in (1, 2):
                os.environ["QUILLON_DECODE_THREADS"] = str(threads)
                ours, theirs = interleaved([lambda: module_decode(kyme, codec, path),
                                            lambda: ffmpeg_decode(path, threads)], number=1, repeat=3)
                report.ratio(f"decode 1080p {name} x{PICTURES}, {threads} thread(s), vs ffmpeg", theirs / ours, 0.85,
                             True, f"{PICTURES / ours:.0f} vs {PICTURES / theirs:.0f} pictures/s")
        os.environ.pop("QUILLON_DECODE_THREADS", None)
    kyme.systemUninitialize()
