"""The main job: video analytics on every die of the accelerator.

    quillon-pipeline clip.mp4 photos/ --out results/
    python3 -m quillon.pipeline --model net.onnx --labels labels.txt --softmax cameras/*.mkv

From a program:

    from quillon.pipeline import main
    status = main(["clip.mp4", "--out", "results", "--quiet"])

Modules by concern: `sources` (inputs and the tasks they are cut into),
`scheduling` (tasks over the dies), `classify` (results from a model's
outputs), `outputs` (results.jsonl and the contact sheet), `progress` (the
progress line), `demo` (the demo clip and the built-in model) and `cli`
(arguments, signals, the summary).
"""
from typing import Optional, Sequence

__all__ = ["main"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the main job with command-line arguments; returns the exit status."""
    from .cli import main as run

    return run(argv)
