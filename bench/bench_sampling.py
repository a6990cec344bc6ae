"""Sampling, random access and batches against PyAV.

Two 1080p camera-like clips of 3 minutes (30 pictures a second, a key
picture every 250, 3 B-pictures; ffmpeg's testsrc2 with temporal noise, made
once in ~/.cache/quillon/bench): H.264 (x264) and HEVC (x265). Cases, each
giving RGB pictures as numpy arrays:

- 10 pictures spread evenly and 100 random numbers: `video.get_batch`;
- one picture a second: `frames(every=1.0)`;
- the key pictures: `frames(keyframes_only=True)`;

against PyAV with thread_type "AUTO": for each case the faster of decoding
every picture and keeping the wanted ones, and seeking to each wanted
picture's random-access point and decoding forward to it (the pictures'
times found beforehand, as our packet index is); for key pictures,
`codec_context.skip_frame = "NONKEY"`. And the main job with `--every 1`
against the main job on every picture of the H.264 clip. Ratios of medians
of interleaved runs (PyAV's time over ours; target 1.5). The pictures given
are checked against our plain pass (numbers and pixels) once a case.
QUILLON_BENCH_SECONDS shortens the clips (default 180), QUILLON_BENCH_RUNS
sets the runs of each (default 3; three times as many for the key pictures,
which take a third of a second).
"""
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile

import numpy as np

from harness import ROOT, Report, interleaved_runs, load_average, spread

sys.path.insert(0, str(ROOT / "python"))

import av  # noqa: E402

av.logging.restore_default_callback()  # its callback takes the interpreter lock in libav threads

import quillon  # noqa: E402

CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "quillon" / "bench"
SECONDS = int(os.environ.get("QUILLON_BENCH_SECONDS", "180"))
RUNS = int(os.environ.get("QUILLON_BENCH_RUNS", "3"))


def clip(codec):
    """The camera-like clip of `codec`, made once."""
    path = CACHE / f"sampling_{codec}_1080p{'' if SECONDS == 180 else f'_{SECONDS}s'}.mp4"
    if not path.is_file():
        CACHE.mkdir(parents=True, exist_ok=True)
        encoder = (["-c:v", "libx264", "-preset", "veryfast", "-g", "250", "-keyint_min", "250", "-bf", "3"]
                   if codec == "h264" else
                   ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                    "log-level=error:keyint=250:min-keyint=250:bframes=3"])
        partial = path.with_suffix(".tmp.mp4")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=1920x1080:rate=30,noise=alls=6:allf=t", "-t", str(SECONDS),
                        "-sc_threshold", "0", *encoder, "-pix_fmt", "yuv420p", str(partial)], check=True)
        partial.replace(path)
    return path


def pyav_times(path):
    """Each picture's pts in display order and the key pictures' numbers (PyAV's own scan)."""
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        stamps = sorted(packet.pts for packet in container.demux(stream) if packet.pts is not None)
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        stream.codec_context.skip_frame = "NONKEY"
        keys = [stamps.index(frame.pts) for frame in container.decode(stream)]
    return stamps, keys


def pyav_all(path, wanted):
    """Every picture decoded, the wanted ones kept (numbers in display order)."""
    wanted, kept = set(wanted), {}
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        for number, frame in enumerate(container.decode(stream)):
            if number in wanted:
                kept[number] = frame.to_ndarray(format="rgb24")
    return kept


def pyav_seeking(path, wanted, stamps):
    """Each wanted picture reached by a seek to the random-access point
    before it and decoding forward (on from where it is when the picture
    lies ahead in the same stretch)."""
    kept = {}
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        frames = None
        for number in sorted(set(wanted)):
            target = stamps[number]
            if frames is None or number - last > 250:
                container.seek(target, stream=stream, backward=True)
                frames = container.decode(stream)
            for frame in frames:
                if frame.pts >= target:
                    kept[number] = frame.to_ndarray(format="rgb24")
                    break
            last = number
    return kept


def pyav_keys(path):
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        stream.codec_context.skip_frame = "NONKEY"
        return [frame.to_ndarray(format="rgb24") for frame in container.decode(stream)]


def ours_batch(path, wanted):
    with quillon.open(path) as video:
        return video.get_batch(wanted).data


def ours_frames(path, **sampling):
    with quillon.open(path) as video:
        return [(frame.number, frame.to_numpy()) for frame in video.frames(**sampling)]


def checked(path, numbers, pixels):
    """Compares pictures given by a sampling call with our plain pass."""
    wanted = dict(zip(numbers, pixels))
    with quillon.open(path) as video:
        for frame in video.frames(format="nv12"):
            if frame.number in wanted:
                assert np.array_equal(frame.to_numpy(format="rgb24"), wanted.pop(frame.number)), frame.number
            if not wanted:
                break
    assert not wanted


def compare(report, name, ours, peers, count=RUNS):
    """Ratio of the best peer's median to ours, over `count` interleaved runs."""
    load = load_average()
    runs = interleaved_runs([ours, *peers.values()], runs=count)
    medians = [statistics.median(r) for r in runs]
    best = min(range(len(peers)), key=lambda i: medians[i + 1])
    label = list(peers)[best]
    report.ratio(name, medians[best + 1] / medians[0], 1.5, True,
                 f"{medians[0]:.2f} s vs {label} {medians[best + 1]:.2f} s (quillon {spread(runs[0])}, "
                 + ", ".join(f"{peer} {spread(r)}" for peer, r in zip(peers, runs[1:])) + f"; load {load})")


def main_job(path, every, out):
    options = ["--every", "1"] if every else []
    subprocess.run([sys.executable, "-m", "quillon.pipeline", str(path), *options, "--out", out, "--quiet"],
                   check=True, stdout=subprocess.DEVNULL, env={**os.environ, "PYTHONPATH": os.pathsep.join(
                       [str(ROOT / "python"), *sys.path])})


def run(report):
    for codec in ("h264", "hevc"):
        path = clip(codec)
        stamps, keys = pyav_times(path)
        count = len(stamps)
        with quillon.open(path) as video:
            assert len(video) == count and video.keyframes() == keys, "numbers differ from PyAV's"
        even = [round(i * (count - 1) / 9) for i in range(10)]
        with av.open(str(path)) as container:
            base = container.streams.video[0].time_base
        times = [float(stamp * base) for stamp in stamps]
        second = sorted({max(n for n, t in enumerate(times) if t <= times[0] + k + 1e-9)
                         for k in range(int(times[-1] - times[0]) + 1)})
        chosen = random.Random(1).sample(range(count), 100)
        checked(path, even, ours_batch(path, even))
        assert [n for n, _ in ours_frames(path, every=1.0)] == second
        checked(path, [n for n, _ in ours_frames(path, keyframes_only=True)],
                [p for _, p in ours_frames(path, keyframes_only=True)])
        compare(report, f"10 pictures spread evenly, {codec} 1080p vs PyAV", lambda: ours_batch(path, even),
                {"decoding all": lambda: pyav_all(path, even), "seeking": lambda: pyav_seeking(path, even, stamps)})
        compare(report, f"one picture a second, {codec}", lambda: ours_frames(path, every=1.0),
                {"decoding all": lambda: pyav_all(path, second),
                 "seeking": lambda: pyav_seeking(path, second, stamps)})
        compare(report, f"100 random pictures (get_batch), {codec}", lambda: ours_batch(path, chosen),
                {"decoding all": lambda: pyav_all(path, chosen),
                 "seeking": lambda: pyav_seeking(path, chosen, stamps)})
        # A third of a second each: more runs, for a median the machine's noise moves less.
        compare(report, f"key pictures, {codec}", lambda: ours_frames(path, keyframes_only=True),
                {"skip_frame NONKEY": lambda: pyav_keys(path)}, count=3 * RUNS)
    path = clip("h264")
    with tempfile.TemporaryDirectory() as out:
        load = load_average()
        every, plain = interleaved_runs([lambda: main_job(path, True, out), lambda: main_job(path, False, out)],
                                        runs=3)
        report.ratio("main job --every 1 vs every picture, h264", statistics.median(plain) / statistics.median(every),
                     1.5, True, f"--every 1 {spread(every)}, every picture {spread(plain)}; load {load}")


if __name__ == "__main__":
    report = Report()
    run(report)
    report.print()
