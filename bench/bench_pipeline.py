"""The main job against the strongest pipeline a Python engineer would write
on this machine without the card, and against decoding alone.

The peer: PyAV decoding on a reader thread (thread_type "AUTO"), the 4:2:0
planes viewed in place, each plane resized with cv2.resize (bilinear) to the
model's size, cv2.cvtColor(I420 to RGB) on the small picture,
cv2.dnn.blobFromImage(1/255), cv2.dnn on the main thread with OpenCV's
threads, decoding overlapping inference through a queue of 8; it writes the
same JSON lines and the same contact sheet (24 pictures resized with
cv2.resize plane by plane, letterboxed and captioned alike), both flushed
to the disk as the main job's are. Both run in this process, interleaved,
on light clips, whose pictures cost libavcodec about 2 ms each at 1080p:
the demo (300 pictures, a key picture a second), 3,000 pictures, and 900
pictures with one key picture every 300 and none between (x264 told not to
add key pictures at the demo's changes of scene, which would give it one
every 60 or 120 pictures); and on heavier ones: 600 pictures of ffmpeg's
testsrc2 with temporal noise (x264 veryfast, a key picture every 300 at
most, 2 B-pictures; about 22 ms a picture), and real footage, Debian's
sample videos vtest.avi and Megamind.avi scaled to 1080p with the same x264
settings (about 5 ms a picture, 3 and 4 key pictures).
Printed:
pictures/s and CPU seconds per picture (all threads) of each,
min/median/max over the runs, the load average; the ratio of medians
against the targets. Also: the main
job against `ffmpeg -threads 2 -f null` on the same clip (interleaved too);
the ceiling any pipeline has on the clip, decoding on one thread plus the
model and nothing else on every processor, against the peer; how evenly the
dies share the demo and an open-GOP x265 clip, and a run interrupted with
SIGINT at a random moment (every line parses, lines = pictures reported).
"""
from __future__ import annotations

import contextlib
import io
import json
import os
import pathlib
import queue
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Dict, List, Tuple

import numpy as np

from harness import BUILD, ROOT, load_average

SAMPLES = pathlib.Path(os.environ.get("QUILLON_SAMPLES", "/var/cache/quillon/samples"))
RUNS = 5  # interleaved runs of each pipeline a clip: medians of 5 move less with the machine than of 3
SIZE = 112  # the built-in model's input, width and height
CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "quillon" / "bench"


def reference_pipeline(inputs: List[pathlib.Path], model: pathlib.Path) -> Tuple[float, List[int]]:
    """The same job with OpenCV alone on one thread (for tests: the classes a
    picture must get); returns seconds and the top class of every picture."""
    import cv2

    net = cv2.dnn.readNetFromONNX(str(model))
    names = net.getUnconnectedOutLayersNames()
    import onnx

    dims = [d.dim_value for d in onnx.load(str(model)).graph.input[0].type.tensor_type.shape.dim]
    tops: List[int] = []
    start = time.perf_counter()

    def infer(bgr: Any) -> None:
        rgb = cv2.resize(cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB), (dims[3], dims[2]), interpolation=cv2.INTER_LINEAR)
        net.setInput(cv2.dnn.blobFromImage(rgb, 1 / 255))
        tops.append(int(np.argmax(net.forward(names)[0])))

    for path in inputs:
        files = sorted(p for p in path.iterdir() if p.suffix.lower() in (".jpg", ".jpeg")) if path.is_dir() else []
        for file in files:
            picture = cv2.imread(str(file))
            if picture is not None:
                infer(picture)
        if not path.is_dir():
            capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG)
            while (read := capture.read())[0]:
                infer(read[1])
            capture.release()
    return time.perf_counter() - start, tops


def peer(clip: pathlib.Path, model: pathlib.Path, out: pathlib.Path) -> int:
    """The strong peer, writing its results and contact sheet into the folder
    `out` as the main job does; returns the number of pictures."""
    import av
    import cv2

    from quillon.pipeline import outputs

    net = cv2.dnn.readNetFromONNX(str(model))
    names = net.getUnconnectedOutLayersNames()
    size = SIZE
    pending: "queue.Queue[Any]" = queue.Queue(8)
    out.mkdir(parents=True, exist_ok=True)
    sampler = outputs.Sampler(None)

    def i420_to_rgb(planes: List[Any], width: int, height: int) -> Any:
        y = cv2.resize(planes[0], (width, height), interpolation=cv2.INTER_LINEAR)
        u, v = (cv2.resize(p, (width // 2, height // 2), interpolation=cv2.INTER_LINEAR) for p in planes[1:])
        i420 = np.concatenate([y.reshape(-1), u.reshape(-1), v.reshape(-1)]).reshape(height * 3 // 2, width)
        return cv2.cvtColor(i420, cv2.COLOR_YUV2RGB_I420)

    def read() -> None:
        try:
            with av.open(str(clip)) as container:
                stream = container.streams.video[0]
                stream.thread_type = "AUTO"
                sampler.total = stream.frames or None
                for number, frame in enumerate(container.decode(stream)):
                    planes = [np.frombuffer(p, np.uint8).reshape(p.height, p.line_size)[:, :p.width]
                              for p in frame.planes]
                    tile = None
                    if sampler.wanted(number):  # the contact sheet's pictures, letterboxed the same way
                        tile = outputs.letterboxed(i420_to_rgb(planes, *outputs.tile_size(frame.width, frame.height,
                                                                                          True)))
                    rgb = i420_to_rgb(planes, size, size)
                    pending.put((frame.time, cv2.dnn.blobFromImage(rgb, 1 / 255), tile))
        finally:
            pending.put(None)

    reader = threading.Thread(target=read)
    reader.start()
    count = 0
    results = out / outputs.RESULTS
    with open(results, "w") as lines:
        while (item := pending.get()) is not None:
            net.setInput(item[1])
            scores, edges = net.forward(names)
            top = int(np.argmax(scores))
            score = float(scores.reshape(-1)[top])
            lines.write(json.dumps({"file": str(clip), "picture": count, "pts": item[0], "class": top,
                                    "score": score, "edge_energy": float(edges[0])}) + "\n")
            if item[2] is not None:
                # Labelled as the main job labels a model given by --model.
                sampler.keep(outputs.Thumbnail(count, item[2], outputs.caption(str(clip), item[0] or 0.0,
                                                                                f"class {top}", score)))
            count += 1
        lines.flush()
        os.fsync(lines.fileno())
    reader.join()
    sheet, _ = outputs.write_sheet(out, sampler.chosen())
    os.replace(sheet, out / outputs.SHEET)
    return count


def ffmpeg_decode(clip: pathlib.Path, threads: int, first: int = 0) -> Tuple[float, float]:
    """(wall, CPU) seconds of `ffmpeg -threads N -f null` on the clip, or on
    its `first` pictures."""
    import resource

    before, started = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    limit = ["-frames:v", str(first)] if first else []
    subprocess.run(["ffmpeg", "-v", "error", "-threads", str(threads), "-i", str(clip), *limit, "-f", "null", "-"],
                   check=True)
    wall, after = time.perf_counter() - started, resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def decode_cpu_per_picture(clip: pathlib.Path, pictures: int) -> float:
    """CPU seconds per picture of decoding the clip's `pictures` on one
    thread, less ffmpeg's cost of starting (a run that stops after one
    picture), best of 3."""
    whole = min(ffmpeg_decode(clip, 1)[1] for _ in range(3))
    start = min(ffmpeg_decode(clip, 1, 1)[1] for _ in range(3))
    return max(whole - start, 0.0) / (pictures - 1)


def model_cpu_per_picture(model: pathlib.Path) -> float:
    """CPU seconds of one forward pass of the model on one thread, the way
    one die runs it: the faster of OpenCV's dnn and the SDK's model (which
    runs some layers itself), best of 5 rounds of 200 each."""
    import cv2

    import quillon

    threads = cv2.getNumThreads()
    cv2.setNumThreads(1)
    try:
        net = cv2.dnn.readNetFromONNX(str(model))
        names = net.getUnconnectedOutLayersNames()
        blob = np.random.default_rng(0).random((1, 3, SIZE, SIZE), dtype=np.float32)

        def opencv() -> None:
            net.setInput(blob)
            net.forward(names)

        best = float("inf")
        with quillon.Model(str(model)) as sdk_model:
            for forward in (opencv, lambda: sdk_model(blob)) * 5:
                started = time.process_time()
                for _ in range(200):
                    forward()
                best = min(best, (time.process_time() - started) / 200)
        return best
    finally:
        cv2.setNumThreads(threads)


def main_job(arguments: List[str]) -> Tuple[int, str]:
    from quillon.pipeline import main

    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        status = main(arguments + ["--quiet"])
    return status, text.getvalue()


def measured(fn: Callable[[], int]) -> Tuple[float, float]:
    """(pictures per second, CPU seconds per picture) of one run."""
    wall, cpu = time.perf_counter(), time.process_time()
    pictures = fn()
    return pictures / (time.perf_counter() - wall), (time.process_time() - cpu) / pictures


def clip(name: str, pictures: int, key_interval: int) -> pathlib.Path:
    """A demo clip of `pictures` 1080p pictures, kept in the cache: a key picture every `key_interval` at
    most (the card's encoder adds one at each change of scene of the demo)."""
    import quillon
    from quillon.pipeline import demo

    path = CACHE / f"{name}.mp4"
    if not path.is_file():
        CACHE.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".part.mp4")
        with quillon.encode(partial, 1920, 1080, fps=30, key_interval=key_interval) as writer:
            for index in range(pictures):
                writer.write(demo.demo_picture(index, 1920, 1080))
        partial.replace(path)
    return path


def ffmpeg_clip(name: str, pictures: int, width: int, height: int, *encoding: str) -> pathlib.Path:
    """A clip of `pictures` demo pictures encoded by the ffmpeg command with
    `encoding` (its output options), kept in the cache."""
    path = CACHE / name
    if not path.is_file():
        from quillon.pipeline import demo

        CACHE.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".part" + path.suffix)
        encoder = subprocess.Popen(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
                                    f"{width}x{height}", "-r", "30", "-i", "-", "-pix_fmt", "yuv420p", *encoding,
                                    str(partial)], stdin=subprocess.PIPE)
        assert encoder.stdin is not None
        for index in range(pictures):
            encoder.stdin.write(demo.demo_picture(index, width, height).tobytes())
        encoder.stdin.close()
        assert encoder.wait() == 0
        partial.replace(path)
    return path


def one_key_per_300_clip() -> pathlib.Path:
    """900 1080p demo pictures, an IDR picture every 300 and no other
    random-access point: x264 as the card's encoder runs it (medium, PSNR
    tuning, quality 23), without its scene-cut key pictures."""
    path = ffmpeg_clip("one-key-per-300.mp4", 900, 1920, 1080, "-c:v", "libx264", "-preset", "medium", "-tune", "psnr",
                       "-crf", "23", "-x264-params", "log-level=error:keyint=300:min-keyint=300:scenecut=0")
    import quillon

    with quillon.open(str(path)) as video:
        starts = [segment.first_packet for segment in video.segments(1)]
    assert starts == [0, 300, 600], f"{path} has random-access points at {starts}: remove it to have it made again"
    return path


HEAVY_X264 = ("-c:v", "libx264", "-preset", "veryfast", "-g", "300", "-bf", "2", "-pix_fmt", "yuv420p")


def noisy_clip() -> pathlib.Path:
    """600 1080p pictures of testsrc2 with fresh noise in every picture: about
    20 ms of libavcodec a picture, and x264 adds key pictures where the noise
    makes it see a change of scene."""
    path = CACHE / "noisy-testsrc2.mp4"
    if not path.is_file():
        CACHE.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".part.mp4")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30", "-vf",
                        "noise=alls=10:allf=t", "-frames:v", "600", *HEAVY_X264, str(partial)], check=True)
        partial.replace(path)
    return path


def sample_clip(name: str) -> pathlib.Path:
    """One of Debian's sample videos scaled to 1080p: real footage."""
    path = CACHE / f"{pathlib.Path(name).stem}-1080p.mp4"
    if not path.is_file():
        CACHE.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".part.mp4")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(SAMPLES / name), "-an", "-vf",
                        "scale=1920:1080:flags=bicubic", *HEAVY_X264, str(partial)], check=True)
        partial.replace(path)
    return path


def open_gop_clip() -> pathlib.Path:
    return ffmpeg_clip("open-gop-x265.mkv", 300, 1280, 720, "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                       "log-level=error:keyint=30:open-gop=1")


def die_counts(summary: str) -> List[int]:
    return [int(m.group(1)) for m in re.finditer(r"^  \d+ +(\d+) +\d+ ", summary, re.M)]


def run(report: Any) -> None:
    import av

    av.logging.restore_default_callback()
    from quillon.pipeline import demo

    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as folder:
        work = pathlib.Path(folder)
        model = demo.builtin_model(CACHE)
        clips: Dict[str, Callable[[], pathlib.Path]] = {
            "demo 300": lambda: clip("demo-300", 300, 15), "3,000 pictures": lambda: clip("long-3000", 3000, 30),
            "one key picture per 300": one_key_per_300_clip}
        heavy: Dict[str, Callable[[], pathlib.Path]] = {
            "noisy testsrc2 (heavy: decode-heavy)": noisy_clip,
            "vtest.avi at 1080p (heavy: real footage)": lambda: sample_clip("vtest.avi"),
            "Megamind.avi at 1080p (heavy: real footage)": lambda: sample_clip("Megamind.avi")}
        # QUILLON_BENCH_CLIPS=heavy (or any part of the clips' names): those clips only, and nothing else.
        chosen = os.environ.get("QUILLON_BENCH_CLIPS", "")
        for name, make in [*clips.items(), *heavy.items()]:
            if chosen not in name:
                continue
            path = make()
            # pictures/s and CPU a picture against the peer, pictures/s against ffmpeg
            targets = (1.2, 1.0, 0.9) if name in heavy else (1.5, 1.3, 0.85)
            job = lambda: _count(main_job([str(path), "--model", str(model), "--out", str(work / "out")]))  # noqa
            theirs = lambda: peer(path, model, work / "peer")  # noqa: E731
            job()  # warm-up
            ours_runs, peer_runs, decode_walls = [], [], []
            for _ in range(RUNS):
                ours_runs.append(measured(job))
                peer_runs.append(measured(theirs))
                decode_walls.append(ffmpeg_decode(path, 2)[0])
            rate = statistics.median(r for r, _ in ours_runs) / statistics.median(r for r, _ in peer_runs)
            cpu = statistics.median(c for _, c in peer_runs) / statistics.median(c for _, c in ours_runs)
            ours = [json.loads(line)["class"] for line in (work / "out" / "results.jsonl").open()]
            other = [json.loads(line)["class"] for line in (work / "peer" / "results.jsonl").open()]
            differing = sum(a != b for a, b in zip(ours, other)) + abs(len(ours) - len(other))
            detail = (f"pictures/s min/median/max {_spread([r for r, _ in ours_runs])} vs "
                      f"{_spread([r for r, _ in peer_runs])}; CPU ms/picture "
                      f"{statistics.median(c for _, c in ours_runs) * 1e3:.2f} vs "
                      f"{statistics.median(c for _, c in peer_runs) * 1e3:.2f}; {differing} classes differ; "
                      f"load {load_average()}")
            report.ratio(f"main job vs strong peer, {name} (pictures/s)", rate, targets[0], True, detail)
            report.ratio(f"main job vs strong peer, {name} (less CPU per picture)", cpu, targets[1], True)
            decode_rates = [len(ours) / wall for wall in decode_walls]
            report.ratio(f"main job vs ffmpeg -threads 2 decoding, {name} (pictures/s)",
                         statistics.median(r for r, _ in ours_runs) / statistics.median(decode_rates), targets[2], True,
                         f"ffmpeg pictures/s min/median/max {_spread(decode_rates)}")
            # What no pipeline can beat: every picture decoded on one thread
            # and the model run on it, nothing else, on every processor.
            decoding, inference = decode_cpu_per_picture(path, len(ours)), model_cpu_per_picture(model)
            floor = decoding + inference
            ceiling = (os.cpu_count() or 1) / floor
            limits = (f"decoding alone {decoding * 1e3:.2f} + the model alone {inference * 1e3:.2f} ms CPU per "
                      f"picture: at most {ceiling:.0f} pictures/s on {os.cpu_count()} processors")
            report.ratio(f"  ceiling: decoding + model alone vs strong peer, {name} (pictures/s)",
                         ceiling / statistics.median(r for r, _ in peer_runs), targets[0], True, limits)
            report.ratio(f"  ceiling: decoding + model alone vs strong peer, {name} (less CPU per picture)",
                         statistics.median(c for _, c in peer_runs) / floor, targets[1], True)

        if chosen:
            return
        for name, path in (("demo", clips["demo 300"]()), ("open-GOP x265", open_gop_clip())):
            counts = die_counts(main_job([str(path), "--model", str(model), "--out", str(work / "out")])[1])
            report.ratio(f"dies' share of the {name} clip (fewest / most pictures)",
                         min(counts) / max(counts) if counts and max(counts) else 0.0, 0.8, True, f"{counts}")
        interrupted(report, clips["3,000 pictures"](), model, work)


def interrupted(report: Any, path: pathlib.Path, model: pathlib.Path, work: pathlib.Path) -> None:
    """SIGINT at a random moment: every line of the partial results parses
    and their number is what the summary reports."""
    main = ROOT / "python" / "quillon" / "pipeline" / "__main__.py"
    process = subprocess.Popen([sys.executable, str(main), str(path), "--model", str(model), "--out",
                                str(work / "cut"), "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env=dict(os.environ, PYTHONPATH=f"{BUILD / 'python'}:{ROOT / 'python'}"))
    partial = work / "cut" / "results.partial.jsonl"
    while process.poll() is None and not (partial.is_file() and partial.stat().st_size):
        time.sleep(0.05)
    time.sleep(random.uniform(0.0, 3.0))  # a random moment while pictures go through
    process.send_signal(signal.SIGINT)
    out, _ = process.communicate(timeout=60)
    reported = re.search(r"\((\d+) lines\)", out)
    lines = (partial if process.returncode == 130 else work / "cut" / "results.jsonl").read_text().splitlines()
    parsed = sum(1 for line in lines if json.loads(line))
    same = reported is not None and int(reported.group(1)) == parsed == len(lines)
    report.ratio("SIGINT at a random moment: lines parsed = pictures reported (1 = yes)", float(same), 1.0, True,
                 f"exit {process.returncode}, {len(lines)} lines, summary says {reported and reported.group(1)}")


def _count(result: Tuple[int, str]) -> int:
    status, summary = result
    assert status == 0, summary
    return int(re.search(r": (\d+) pictures from", summary).group(1))  # type: ignore[union-attr]


def _spread(values: List[float]) -> str:
    return f"{min(values):.0f}/{statistics.median(values):.0f}/{max(values):.0f}"
