"""The main job from a program: run it on a folder of clips and photos, then
read its results (one JSON line per picture, in display order).

    python3 examples/pipeline.py clips/ out/

With the package installed (pip), or from the clone with
PYTHONPATH=build/python:python. `quillon-pipeline --help` (or
`python3 -m quillon.pipeline --help`) lists every option.
"""
import collections
import json
import pathlib
import sys

from quillon.pipeline import main


def run(inputs: str, out: str) -> int:
    status = main([inputs, "--out", out, "--top", "3", "--quiet"])
    if status != 0:
        return status
    labels: collections.Counter[str] = collections.Counter()
    with open(pathlib.Path(out) / "results.jsonl") as results:
        for line in results:
            labels[json.loads(line)["label"]] += 1
    for label, count in labels.most_common(5):
        print(f"{label:>12}: {count} pictures")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(run(sys.argv[1], sys.argv[2]))
