"""The main job against the same pipeline written without the card.

Input: the main job's demo clip (300 pictures of 1080p H.264, made once and
cached). The main job (quillon.pipeline: segments of the clip dealt to the dies,
each decoded, preprocessed and inferred on its die) is timed from its
first picture sent to its last result. The baseline is what a user would
write with OpenCV alone in one Python thread: cv2.VideoCapture (ffmpeg) to
decode, cv2.cvtColor, cv2.resize and numpy to make the tensor, cv2.dnn to run
the same ONNX model; it is timed from its first read to its last result.
Ratio: pictures per second of the module over the baseline's; target 1.3.
Every picture must get the same top class from both.
"""
from __future__ import annotations

import contextlib
import io
import json
import pathlib
import re
import tempfile
import time
from typing import Any

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]

RUNS = 3


def reference_pipeline(inputs: list[pathlib.Path], model: pathlib.Path) -> tuple[float, list[int]]:
    """Decode, preprocess and infer with OpenCV on one thread; returns the
    seconds taken and the top class of every picture, in order."""
    import cv2

    import onnx

    net = cv2.dnn.readNetFromONNX(str(model))
    names = net.getUnconnectedOutLayersNames()
    dims = [d.dim_value for d in onnx.load(str(model)).graph.input[0].type.tensor_type.shape.dim]
    height, width = dims[2], dims[3]
    tops: list[int] = []
    start = time.perf_counter()

    def infer(bgr: Any) -> None:
        rgb = cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB)
        small = cv2.resize(rgb, (width, height), interpolation=cv2.INTER_LINEAR)
        tensor = np.ascontiguousarray(small.transpose(2, 0, 1)[None], np.float32) / 255
        net.setInput(tensor)
        scores = net.forward(names)[0]
        tops.append(int(np.argmax(scores)))

    for path in inputs:
        if path.is_dir():
            for file in sorted(p for p in path.iterdir() if p.suffix.lower() in (".jpg", ".jpeg")):
                picture = cv2.imread(str(file))
                if picture is not None:
                    infer(picture)
            continue
        capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG)
        while True:
            ok, picture = capture.read()
            if not ok:
                break
            infer(picture)
        capture.release()
    return time.perf_counter() - start, tops


def module_pipeline(arguments: list[str]) -> tuple[int, str]:
    """Runs the main job quietly; returns its exit status and summary."""
    from quillon.pipeline import main

    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        status = main(arguments + ["--quiet"])
    return status, text.getvalue()


def run(report: Any) -> None:
    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as folder:
        cache = pathlib.Path(folder) / "cache"
        out = pathlib.Path(folder) / "out"
        # The first run makes the demo clip and the model, and warms up.
        status, _ = module_pipeline(["--cache", str(cache), "--out", str(out)])
        assert status == 0
        clip = next(cache.glob("demo-*.mp4"))
        model = next(cache.glob("*.onnx"))
        module_best, reference_best = float("inf"), float("inf")
        reference_tops: list[int] = []
        for _ in range(RUNS):
            status, summary = module_pipeline([str(clip), "--cache", str(cache), "--out", str(out)])
            assert status == 0, summary
            seconds = float(re.search(r" in ([0-9.]+) s ", summary).group(1))  # type: ignore[union-attr]
            module_best = min(module_best, seconds)
            seconds, reference_tops = reference_pipeline([clip], model)
            reference_best = min(reference_best, seconds)
        lines = [json.loads(line) for line in (out / "results.jsonl").read_text().splitlines()]
        module_tops = [line["class"] for line in lines]
        pictures = len(reference_tops)
        differing = sum(a != b for a, b in zip(module_tops, reference_tops)) + abs(len(module_tops) - pictures)
        ratio = (len(module_tops) / module_best) / (pictures / reference_best)
        report.ratio("main job vs OpenCV pipeline (pictures/s)", ratio, 1.3, True,
                     f"{len(module_tops) / module_best:.1f} vs {pictures / reference_best:.1f} pictures/s, "
                     f"{pictures} pictures, {differing} top classes differ")
        assert differing == 0, f"{differing} pictures got another top class than the OpenCV pipeline's"
