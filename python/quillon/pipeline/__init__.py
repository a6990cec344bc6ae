"""The main job: video analytics on every die of the accelerator.

    quillon-pipeline clip.mp4 photos/ --out results/
    python3 -m quillon.pipeline --model net.onnx --labels labels.txt --softmax cameras/*.mkv

From a program:

    from quillon.pipeline import main
    status = main(["clip.mp4", "--out", "results", "--quiet"])

A run in a program's process changes nothing of the process for good but
glibc's allocator thresholds (see `allocator`); the environment variables
and Dask settings it sets are put back as it ends.

Modules by concern: `cli` (arguments, and the run they ask for), `job`
(what every run does: its start, signals, folders, models, totals, end,
summary and exit status), `errors` (the job's exceptions), `single` (the
run in this process), `cluster` (the run on Dask), `sources` (inputs and
the tasks they are cut into), `scheduling` (tasks over the dies' lanes),
`lanes` (how many lanes a run has, on which dies), `classify` (results
from a model's outputs), `outputs` (results.jsonl and the contact sheet),
`annotate` (the annotated video), `progress` (the progress line),
`allocator` (glibc's thresholds), `demo` (the demo clip and the built-in
model), and for live cameras `live` (the run), `cameras` (the cameras and
their file), `live_outputs` (each camera's figures, hourly result files,
progress and summary) and `metrics` (--metrics). Imports go one way, from
`cli` down to `errors`.
"""
from typing import Optional, Sequence

__all__ = ["main"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the main job with command-line arguments; returns the exit status."""
    from .cli import main as run

    return run(argv)
