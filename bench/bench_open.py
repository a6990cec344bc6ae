"""quillon.open against PyAV on the same files.

Throughput: a 1080p H.264 MP4 of 120 pictures (B-frames), every picture
decoded to an RGB numpy array: `quillon.open(...).frames("rgb24")` with
`to_numpy()` against PyAV (thread_type "AUTO", `to_ndarray(format="rgb24")`).
Pictures per second of quillon over PyAV's (medians of interleaved runs);
target 1.0; and the CPU seconds per picture of each (all threads), which a
busy machine disturbs less. The card's channel decodes with its share of the processors
unless QUILLON_DECODE_THREADS fixes the count (the host SDK's setting).

Overhead: a 128x128 H.264 MP4 of 600 pictures; a frames("nv12") loop doing
nothing, against the same module calls made directly (the package's
demuxer, send, receive, one device copy, release). The decoder works on a
thread of its own, so wall time hides what the calling thread spends; the
calling thread's CPU time is compared instead (medians of interleaved runs).
The difference per picture is what the layer adds; target at most 50 us.
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import statistics

from harness import ROOT, Report, interleaved_runs, load_average, spread

sys.path.insert(0, str(ROOT / "python"))

import av  # noqa: E402

av.logging.restore_default_callback()  # its callback takes the interpreter lock in libav threads

import quillon  # noqa: E402
from quillon import _native, kycm, kyme  # noqa: E402


def make(folder, name, size, pictures):
    path = os.path.join(folder, name)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30",
                    "-frames:v", str(pictures), "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast",
                    "-bf", "2", path], check=True)
    return path


def with_quillon(path, keep_pixels=True):
    count = 0
    with quillon.open(path) as video:
        for frame in video.frames("rgb24" if keep_pixels else "nv12"):
            if keep_pixels:
                frame.to_numpy()
            count += 1
    return count


def with_pyav(path):
    count = 0
    with av.open(path) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        for frame in container.decode(stream):
            frame.to_ndarray(format="rgb24")
            count += 1
    return count


def module_only(path):
    """What frames("nv12") does, written against the module directly."""
    demuxer = _native.Demuxer(path)
    parameters = kyme.decChannelParamters()
    parameters.codecType = kyme.codecType.KYME_CODEC_DEC_H264
    parameters.pixelFormat = kyme.pixelFormat.KYME_PIX_FMT_NV12
    parameters.extraBufferNumber = 4
    channel = 0
    while kyme.createDecoderChannel(parameters, channel) != 0:
        channel += 1
    kyme.startDecoder(channel)
    stream, frame, options = kyme.stream(), kyme.frame(), kyme.decOutputOptions()
    size = demuxer.width * demuxer.height * 3 // 2
    block = kycm.malloc(size)
    count = 0

    def receive(timeout):
        nonlocal count
        while kyme.receiveFrameFromDecoder(channel, frame, options, timeout) == 0:
            kycm.getNumpyFromHandle(frame, 128)  # the time stamp
            kycm.memcpy(frame.data[0], block, size, kycm.copyMemType.kycmCT_COPY_DEVICE_TO_DEVICE)
            kyme.decReleaseFrame(channel, frame, 0)
            count += 1

    while (packet := demuxer.read()) is not None:
        kyme.setStreamData(stream, packet[0])
        stream.pts = packet[1]
        while kyme.sendStreamToDecoder(channel, stream, 20) != 0:
            receive(0)
        receive(0)
    kyme.sendStreamToDecoder(channel, kyme.stream(), 1000)
    receive(10000)
    kyme.stopDecoder(channel)
    kyme.destroyDecoderChannel(channel)
    kycm.free(block)
    demuxer.close()
    return count


def process_seconds(record, fn):
    """fn, appending the CPU seconds the whole process spends in each call
    (every thread: the decoder's and libavcodec's too) to `record`."""
    def timed():
        start = time.process_time()
        fn()
        record.append(time.process_time() - start)
    return timed


def thread_seconds(fns, repeat):
    """CPU seconds of the calling thread for each function in every run, in alternation."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.thread_time()
            fn()
            times[i].append(time.thread_time() - start)
    return times


def run(report):
    with tempfile.TemporaryDirectory() as folder:
        big = make(folder, "clip1080.mp4", "1920x1080", 120)
        small = make(folder, "clip128.mp4", "128x128", 600)
        assert with_quillon(big) == with_pyav(big) == 120
        load = load_average()
        cpu = {"quillon": [], "PyAV": []}
        quillon_runs, pyav_runs = interleaved_runs([process_seconds(cpu["quillon"], lambda: with_quillon(big)),
                                                    process_seconds(cpu["PyAV"], lambda: with_pyav(big))], runs=7)
        quillon_s, pyav_s = statistics.median(quillon_runs), statistics.median(pyav_runs)
        threads = os.environ.get("QUILLON_DECODE_THREADS", "automatic")
        report.ratio("open().frames('rgb24') 1080p H.264 vs PyAV", pyav_s / quillon_s, 1.0, True,
                     f"{120 / quillon_s:.1f} vs {120 / pyav_s:.1f} pictures/s (quillon {spread(quillon_runs)}, "
                     f"PyAV {spread(pyav_runs)}; QUILLON_DECODE_THREADS={threads}; load {load})")
        ours, theirs = (statistics.median(cpu[side]) / 120 for side in ("quillon", "PyAV"))
        report.ratio("  the same, CPU seconds per picture (PyAV's / quillon's)", theirs / ours, 1.0, True,
                     f"{ours * 1e3:.2f} vs {theirs * 1e3:.2f} ms per picture, all threads; load {load_average()}")
        assert module_only(small) == with_quillon(small, keep_pixels=False) == 600
        load = load_average()
        layer_runs, module_runs = thread_seconds([lambda: with_quillon(small, keep_pixels=False),
                                                  lambda: module_only(small)], repeat=7)
        layer_s, module_s = statistics.median(layer_runs), statistics.median(module_runs)
        overhead_us = (layer_s - module_s) / 600 * 1e6
        report.ratio("frames() overhead per picture / 50 us", overhead_us / 50, 1.0, False,
                     f"{overhead_us:.1f} us per picture (calling thread: {layer_s / 600 * 1e6:.1f} us with the "
                     f"layer, {module_s / 600 * 1e6:.1f} us without; layer {spread(layer_runs)}, "
                     f"module {spread(module_runs)} per run; load {load})")


if __name__ == "__main__":
    report = Report()
    run(report)
    report.print()
