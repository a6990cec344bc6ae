"""Encoding through the module against ffmpeg on the same raw input.

A 1080p YUV420P file of 300 pictures (testsrc2) is encoded by a channel fed
from YUVReader, every coded unit received and released, and by
`ffmpeg -threads 1` with the same encoder, preset and rate control (constant
rate factor at the encoder's default) writing an elementary stream: x264
ultrafast and medium, x265 ultrafast. Pictures per second of the module over
ffmpeg's; target 0.9. Where the settings match, the two bitstreams must be
identical: the channel passes the options it adds (forced-idr, and for x265
a closed GOP with parameter sets in band) to the CLI too.
"""
import os
import resource
import subprocess
import tempfile
import time

from harness import interleaved

PICTURES = 300
WIDTH, HEIGHT = 1920, 1080
CASES = [  # name, codec, quality mode, ffmpeg arguments, repeats
    ("x264 ultrafast", "KYME_CODEC_ENC_H264", "KYME_BRONZE_QUALITY",
     ["-c:v", "libx264", "-preset", "ultrafast", "-forced-idr", "1", "-f", "h264"], 3),
    ("x264 medium", "KYME_CODEC_ENC_H264", "KYME_GOLD_QUALITY",
     ["-c:v", "libx264", "-preset", "medium", "-forced-idr", "1", "-f", "h264"], 2),
    ("x265 ultrafast", "KYME_CODEC_ENC_HEVC", "KYME_BRONZE_QUALITY",
     ["-c:v", "libx265", "-preset", "ultrafast", "-forced-idr", "1", "-x265-params",
      "log-level=error:open-gop=0:repeat-headers=1", "-f", "hevc"], 3),
]


def module_encode(kyme, codec, quality, source, target):
    p = kyme.encChannelParamters()
    p.codecType = getattr(kyme.codecType, codec)
    v = p.videoConfig
    v.width, v.height = WIDTH, HEIGHT
    v.frameRate.numerator, v.frameRate.denominator = 25, 1
    v.qualityMode = getattr(kyme.encQualityMode, quality)
    v.tune = kyme.encTuneType.KYME_ENC_TUNE_VISUAL  # no tune, as the CLI
    v.bBPyramid = v.P2B = kyme.KYME_ENC_DEFAULT_PAR
    assert kyme.createEncoderChannel(p, 0) == 0 and kyme.startEncoder(0) == 0
    reader, frame, stream = kyme.YUVReader(source, kyme.pixelFormat.KYME_PIX_FMT_YUV420P, WIDTH, HEIGHT, WIDTH), \
        kyme.frame(), kyme.stream()
    reader.init()
    with open(target, "wb") as out:
        def drain(timeout):
            while kyme.receiveStreamFromEncoder(0, stream, timeout) == 0:
                out.write(memoryview(stream))
                kyme.encReleaseStream(0, stream, 0)

        while reader.getFrame(frame):
            while kyme.sendFrameToEncoder(0, frame, None, 5) != 0:
                drain(0)
            drain(0)
        assert kyme.sendFrameToEncoder(0, kyme.frame(), None, 1000) == 0
        drain(60000)
    reader.release()
    kyme.stopEncoder(0)
    kyme.destroyEncoderChannel(0)


def ffmpeg_encode(arguments, source, target):
    # -threads after the input: an output option, for the encoder (before -i it is the decoder's).
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{WIDTH}x{HEIGHT}",
                    "-framerate", "25", "-i", source, "-threads", "1", *arguments, target], check=True)


def cpu_seconds(fn, children):
    """CPU time of one call of fn: this process's (all its threads) or its children's."""
    def now():
        usage = resource.getrusage(resource.RUSAGE_CHILDREN) if children else None
        return usage.ru_utime + usage.ru_stime if children else time.process_time()

    start = now()
    fn()
    return now() - start


def run(report):
    import _quillon_pybind11 as quillon
    kyme = quillon.kyme
    kyme.systemUninitialize()
    kyme.systemInitialize()
    os.environ["QUILLON_ENCODE_THREADS"] = "1"
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "clip.yuv")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=size={WIDTH}x{HEIGHT}:rate=25", "-frames:v", str(PICTURES), "-pix_fmt", "yuv420p",
                        "-f", "rawvideo", source], check=True)
        ours_file, theirs_file = os.path.join(folder, "ours.bin"), os.path.join(folder, "theirs.bin")
        for name, codec, quality, arguments, repeat in CASES:
            ours, theirs = interleaved([lambda: module_encode(kyme, codec, quality, source, ours_file),
                                        lambda: ffmpeg_encode(arguments, source, theirs_file)], number=1,
                                       repeat=repeat)
            with open(ours_file, "rb") as a, open(theirs_file, "rb") as b:
                same = a.read() == b.read()
            # CPU time as context: on a loaded machine it moves less than wall time.
            our_cpu = cpu_seconds(lambda: module_encode(kyme, codec, quality, source, ours_file), False)
            their_cpu = cpu_seconds(lambda: ffmpeg_encode(arguments, source, theirs_file), True)
            report.ratio(f"encode 1080p {name} x{PICTURES} vs ffmpeg -threads 1", theirs / ours, 0.9, True,
                         f"{PICTURES / ours:.1f} vs {PICTURES / theirs:.1f} pictures/s, CPU {our_cpu:.1f} vs "
                         f"{their_cpu:.1f} s, bitstream " + ("identical" if same else "DIFFERENT"),
                         runs={"ours": ours, "ffmpeg": theirs})
    os.environ.pop("QUILLON_ENCODE_THREADS", None)
    kyme.systemUninitialize()
