"""H264Reader throughput against plain 1 MiB block reads of the same file,
and the cost of keeping every stream it fills.

A short H.264 stream is encoded once and repeated up to 200 MB in a temporary
folder (deleted afterwards); the file is read once first so both runs find
it in the page cache.
"""
import os
import shutil
import subprocess
import tempfile

from harness import interleaved

TARGET_BYTES = 200 * 1000 * 1000
BLOCK = 1 << 20


def make_stream(folder):
    sample = os.path.join(folder, "sample.h264")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                    "-i", "testsrc2=size=1280x720:rate=30", "-frames:v", "60", "-c:v", "libx264",
                    "-preset", "ultrafast", "-crf", "20", "-f", "h264", sample], check=True)
    with open(sample, "rb") as f:
        piece = f.read()
    path = os.path.join(folder, "big.h264")
    with open(path, "wb") as f:
        written = 0
        while written < TARGET_BYTES:
            f.write(piece)
            written += len(piece)
    return path, written


KEPT_UNITS = 40000


def kept_streams(report, kyme):
    """Cutting small units into a new stream each time, keeping every stream
    against dropping it: the reader's bookkeeping of filled streams must stay
    linear in their number."""
    folder = tempfile.mkdtemp(prefix="quillon-bench-")
    try:
        path = os.path.join(folder, "small.h264")
        with open(path, "wb") as f:
            f.write((b"\x00\x00\x01\x41" + b"\xab" * 20) * KEPT_UNITS)

        def cut(keep):
            reader = kyme.H264Reader(path)
            reader.init()
            kept = []
            while True:
                stream = kyme.stream()
                if not reader.getStream(stream):
                    break
                if keep:
                    kept.append(stream)
            reader.release()

        dropping, keeping = interleaved([lambda: cut(False), lambda: cut(True)], number=1, repeat=3)
        report.ratio(f"H264Reader keeping {KEPT_UNITS} streams / dropping them", keeping / dropping, 3.0, False,
                     runs={"keeping": keeping, "dropping": dropping})
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def run(report):
    import _quillon_pybind11 as quillon
    kept_streams(report, quillon.kyme)
    if shutil.which("ffmpeg") is None:
        print("bench_readers: ffmpeg is not installed, skipped")
        return
    kyme = quillon.kyme

    folder = tempfile.mkdtemp(prefix="quillon-bench-")
    try:
        path, size = make_stream(folder)
        buffer = bytearray(BLOCK)
        view = memoryview(buffer)

        def read_blocks():
            with open(path, "rb", buffering=0) as f:
                while f.readinto(view):
                    pass

        units = [0]

        def cut_units():
            reader = kyme.H264Reader(path)
            reader.init()
            stream = kyme.stream()
            get = reader.getStream
            count = 0
            while get(stream):
                count += 1
            reader.release()
            units[0] = count

        read_blocks()  # into the page cache
        blocks, reader = interleaved([read_blocks, cut_units], number=1, repeat=3)
        report.ratio("H264Reader / 1 MiB block reads (throughput)", blocks / reader, 0.5, True,
                     f"({size / reader / 1e9:.2f} GB/s vs {size / blocks / 1e9:.2f} GB/s, "
                     f"{units[0]} units of {size / units[0] / 1e3:.1f} kB)", runs={"reader": reader, "blocks": blocks})
        report.ratio("H264Reader throughput / 1 GB/s", size / reader / 1e9, 1.0, True, runs={"reader": reader})
    finally:
        shutil.rmtree(folder, ignore_errors=True)
