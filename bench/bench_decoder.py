"""Decoding through the module against ffmpeg and Pillow on the same files.

Video: a 1080p stream of 300 pictures with one IDR picture (H.264, then
HEVC), fed one NAL unit at a time from H264Reader; every picture is
received, transferred to the host and released. The baseline is
`ffmpeg -threads N -i STREAM -f null -` with the same number N of decoding
threads (QUILLON_DECODE_THREADS for the channel; "auto": the channel's own
choice, against ffmpeg with as many threads as processors). Pictures per
second of the module over ffmpeg's; target 0.85. Also ffmpeg's frame
threads against its slice threads on the same stream: what the channel's
choice of frame threading rests on.

JPEG: a 4000x3000 picture decoded to host RGB with jpegSyncDecoder (file read
included), against Pillow's Image.open(f).load(); target 0.9.
"""
import os
import subprocess
import tempfile

import numpy as np

import statistics

from harness import interleaved_runs, load_average, spread

PICTURES = 300
VIDEO = {
    "H.264": ("KYME_CODEC_DEC_H264", ["-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-g", "300"], "h264"),
    "HEVC": ("KYME_CODEC_DEC_HEVC", ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                     "log-level=error:keyint=300"], "hevc"),
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


def ffmpeg_decode(path, threads, kind=None):
    subprocess.run(["ffmpeg", "-v", "error", "-threads", str(threads), *(["-thread_type", kind] if kind else []),
                    "-i", path, "-f", "null", "-"], check=True)


def ratio_of_medians(report, name, runs, target, detail):
    """Ratio of the medians (baseline second), with both spreads and the load."""
    ours, theirs = runs
    value = statistics.median(theirs) / statistics.median(ours)
    report.ratio(name, value, target, True,
                 f"{detail}(ours {spread(ours)}, baseline {spread(theirs)}; load {load_average()})")


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

    runs = interleaved_runs([through_module, pillow], runs=7)
    kyme.destroyDecoderChannel(0)
    ratio_of_medians(report, "decode JPEG 4000x3000 to RGB vs Pillow", runs, 0.9, "")


def run(report):
    import _quillon_pybind11 as quillon
    kyme = quillon.kyme
    kyme.systemUninitialize()
    kyme.systemInitialize()
    with tempfile.TemporaryDirectory() as folder:
        jpeg(report, kyme, folder)
        for name, (codec, _, _) in VIDEO.items():
            path = encode(folder, name)
            processors = len(os.sched_getaffinity(0))
            for threads in ("1", "2", "auto"):
                if threads == "auto":
                    os.environ.pop("QUILLON_DECODE_THREADS", None)
                else:
                    os.environ["QUILLON_DECODE_THREADS"] = threads
                theirs = processors if threads == "auto" else int(threads)
                runs = interleaved_runs([lambda: module_decode(kyme, codec, path),
                                         lambda: ffmpeg_decode(path, theirs)], runs=5)
                ratio_of_medians(report, f"decode 1080p {name} x{PICTURES}, {threads} thread(s), vs ffmpeg", runs,
                                 0.85, f"{PICTURES / statistics.median(runs[0]):.0f} vs "
                                 f"{PICTURES / statistics.median(runs[1]):.0f} pictures/s ")
            runs = interleaved_runs([lambda: ffmpeg_decode(path, 2, "frame"),
                                     lambda: ffmpeg_decode(path, 2, "slice")], runs=5)
            ratio_of_medians(report, f"ffmpeg 1080p {name}, 2 frame threads vs 2 slice threads", runs, 1.0, "")
        os.environ.pop("QUILLON_DECODE_THREADS", None)
    kyme.systemUninitialize()
