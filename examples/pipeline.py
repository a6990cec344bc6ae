"""The main job from a program: runs quillon.pipeline with the command line
given (the same as quillon-pipeline's), then reads its results (one JSON
line per picture, in display order) and prints the most frequent labels.

    python3 examples/pipeline.py                          # the demo clip
    python3 examples/pipeline.py clips/ photos/ --out results/ --top 3

From a clone it runs the clone's package and build (PYTHONPATH=build/python
is enough, as for the other examples); installed with pip, the package's.
`--help` lists every option.
"""
import os
import signal
import sys


def _leave(signum: int, frame: object) -> None:
    os.write(2, b"\nquillon-pipeline: interrupted\n")
    os._exit(130)


# SIGINT and SIGTERM are answered from here on: the imports take a while.
if __name__ == "__main__":
    signal.signal(signal.SIGINT, _leave)
    signal.signal(signal.SIGTERM, _leave)

import collections  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402

_CLONE = pathlib.Path(__file__).resolve().parents[1]
if (_CLONE / "python" / "quillon" / "pipeline").is_dir():  # run from a clone: its package and build
    _BUILD = pathlib.Path(os.environ.get("QUILLON_BUILD_DIR", _CLONE / "build"))
    sys.path[:0] = [str(_BUILD / "python"), str(_CLONE / "python")]

from quillon.pipeline import main  # noqa: E402
from quillon.pipeline.cli import parse_arguments  # noqa: E402


def run(argv: list[str]) -> int:
    status = main(argv)
    results = pathlib.Path(parse_arguments(argv).out) / "results.jsonl"
    if status != 0 or not results.is_file():
        return status
    labels: "collections.Counter[str]" = collections.Counter()
    with open(results) as lines:
        for line in lines:
            labels[json.loads(line)["label"]] += 1
    print("most frequent labels: " + ", ".join(f"{label} {count}" for label, count in labels.most_common(5)))
    return 0


if __name__ == "__main__":
    status = run(sys.argv[1:])
    # Done and said: the interpreter's end puts SIGINT's default action back,
    # which would kill the process with the work done; an ignored one stays so.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.exit(status)
