"""Importing the module in a fresh interpreter, against importing numpy in
the same command and an interpreter that imports nothing.

Each run starts /usr/bin/python3 three ways, taking turns: `pass`, `import
numpy`, `import _quillon_pybind11` (from the build tree). The import's own
time is the interpreter's time less that of `pass`, in wall time and in CPU
time (which contention on a shared machine disturbs less); `-X importtime`
gives the module's time as the interpreter measures it. Target: under 50 ms;
the ratio to numpy's import is printed as a figure of the same run.
"""
import os
import re
import resource
import statistics
import subprocess
import sys
import time

from harness import BUILD, load_average, spread

RUNS = 15
PYTHON = "/usr/bin/python3"


def started(code):
    """Wall and CPU seconds (user and system) of a fresh interpreter that
    runs `code` and exits."""
    environment = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([PYTHON, "-c", code], check=True, env=environment)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def importtime(module):
    """The module's cumulative import time in seconds, by -X importtime."""
    environment = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    err = subprocess.run([PYTHON, "-X", "importtime", "-c", f"import {module}"], check=True, env=environment,
                         capture_output=True, text=True).stderr
    line = [row for row in err.splitlines() if row.rstrip().endswith(f"| {module}")][-1]
    return int(re.split(r"\s*\|\s*", line)[1]) / 1e6


def run(report):
    load = load_average()
    codes = {"nothing": "pass", "numpy": "import numpy", "module": "import _quillon_pybind11"}
    wall = {name: [] for name in codes}
    cpu = {name: [] for name in codes}
    reported = []
    for _ in range(RUNS):
        for name, code in codes.items():
            w, c = started(code)
            wall[name].append(w)
            cpu[name].append(c)
        reported.append(importtime("_quillon_pybind11"))
    for kind, times in (("wall", wall), ("CPU", cpu)):
        base = statistics.median(times["nothing"])
        module = [max(t - base, 1e-6) for t in times["module"]]
        numpy = [max(t - base, 1e-6) for t in times["numpy"]]
        report.ratio(f"import _quillon_pybind11 ({kind}, less a bare interpreter) / 50 ms",
                     statistics.median(module) / 0.05, 1.0, False,
                     f"(module {spread(module)}, numpy {spread(numpy)}, bare interpreter {spread(times['nothing'])}; "
                     f"load {load})")
        report.ratio(f"import _quillon_pybind11 vs import numpy ({kind})",
                     statistics.median(module) / statistics.median(numpy), 1.0, False, f"(load {load})")
    report.ratio("import _quillon_pybind11 (-X importtime) / 50 ms", statistics.median(reported) / 0.05, 1.0, False,
                 f"({spread(reported)}; load {load})")

if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    from harness import Report
    result = Report()
    run(result)
    result.print()
