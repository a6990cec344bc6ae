"""Runs every bench/bench_*.py and prints its ratios.

    PYTHONPATH=build/python /usr/bin/python3 bench/run.py [name ...]

Each benchmark module defines run(report). Names given on the command line
select modules by substring.
"""
import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from harness import Report  # noqa: E402


def main(selected):
    report = Report()
    here = pathlib.Path(__file__).resolve().parent
    for path in sorted(here.glob("bench_*.py")):
        if selected and not any(s in path.stem for s in selected):
            continue
        importlib.import_module(path.stem).run(report)
    report.print()


if __name__ == "__main__":
    main(sys.argv[1:])
