"""The main job on two local Dask workers against one process.

Input: the demo clip (150 pictures of 1080p H.264) given 8 times, the
built-in model. One process runs it over the platform's 2 dies;
`--local-workers 2` runs it on two worker processes of one die each. Times
are the job's own (first task sent to last result written, without starting
the workers), each configuration in a fresh process, runs interleaved.

Ratios: pictures per second on the cluster over one process (target 0.9:
what Dask costs on one machine), with the scheduling overhead per task (die
time not spent in tasks: wall time x dies - busy time, over the tasks) of
both; and the wall time with one worker SIGKILLed once half the results
are written, over an undisturbed cluster run (reported, no target).

The workers run with glibc's malloc thresholds fixed (mmap above 32 MiB,
trim above 64 MiB; see cluster.adaptive_malloc), which saves a process that
frees 1080p pictures most of its page faults. The one-process baseline is
given the same thresholds through glibc's environment variables, so that the
ratio measures Dask; one process with glibc's defaults is printed beside it.
"""
from __future__ import annotations

import os
import pathlib
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from harness import BUILD, ROOT, load_average

RUNS = 5
COPIES = 8
PICTURES = 150


LIKE_WORKERS = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20), "MALLOC_TRIM_THRESHOLD_": str(64 << 20)}


def pipeline(arguments: List[str], during: Optional[Callable[[subprocess.Popen[str]], None]] = None,
             environ: Optional[Dict[str, str]] = None) -> str:
    process = subprocess.Popen([sys.executable, "-m", "quillon.pipeline", *arguments, "--quiet"],
                               env=dict(os.environ, PYTHONPATH=f"{BUILD / 'python'}:{ROOT / 'python'}",
                                        **(environ or {})),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        if during is not None:
            during(process)
        out, err = process.communicate(timeout=600)
        assert process.returncode == 0, err
        return out
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()


def figures(summary: str) -> Tuple[float, float, int]:
    """Wall seconds, die time spent outside tasks, and tasks, from a summary."""
    seconds = float(re.search(r" in ([0-9.]+) s ", summary).group(1))  # type: ignore[union-attr]
    # The last three numbers of a die's or a worker's row: pictures, tasks, busy seconds.
    rows = re.findall(r"^  \S.*?\s(\d+)\s+(\d+)\s+([0-9.]+)$", summary, re.M)
    found = re.search(r"\((\d+) dies\) in ", summary) or re.search(r"on (\d+) dies in ", summary)
    dies = int(found.group(1)) if found else 0
    tasks, busy = sum(int(r[1]) for r in rows), sum(float(r[2]) for r in rows)
    return seconds, max(0.0, seconds * dies - busy), tasks


def kill_a_worker_halfway(out: pathlib.Path, total: int) -> Callable[[subprocess.Popen[str]], None]:
    def kill(process: subprocess.Popen[str]) -> None:
        partial = out / "results.partial.jsonl"
        while not (partial.exists() and partial.read_bytes().count(b"\n") >= total // 2):
            assert process.poll() is None, "the run ended before half its results"
            time.sleep(0.02)
        children = subprocess.run(["pgrep", "-P", str(process.pid), "-f", "spawn_main"], capture_output=True,
                                  text=True).stdout.split()
        os.kill(int(children[0]), signal.SIGKILL)
    return kill


def spread(values: List[float], unit: str) -> str:
    return f"{min(values):.2f}/{statistics.median(values):.2f}/{max(values):.2f} {unit}"


def run(report: Any) -> None:
    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as folder:
        cache, out = pathlib.Path(folder) / "cache", pathlib.Path(folder) / "out"
        common = ["--cache", str(cache), "--out", str(out)]
        pipeline(common + ["--demo-pictures", str(PICTURES)])  # makes the clip and the model
        clip = str(next(cache.glob("demo-*.mp4")))
        inputs = [clip] * COPIES + common
        default, one, local, killed = [], [], [], []
        for _ in range(RUNS):
            default.append(figures(pipeline(inputs)))
            one.append(figures(pipeline(inputs, environ=LIKE_WORKERS)))
            local.append(figures(pipeline(inputs + ["--local-workers", "2"])))
            killed.append(figures(pipeline(inputs + ["--local-workers", "2"],
                                           kill_a_worker_halfway(out, COPIES * PICTURES))))
        pictures = COPIES * PICTURES
        rate_one = [pictures / s for s, _, _ in one]
        rate_default = [pictures / s for s, _, _ in default]
        rate_local = [pictures / s for s, _, _ in local]
        overhead = [[idle / tasks * 1e3 for _, idle, tasks in runs] for runs in (one, local)]
        report.ratio("main job on 2 local workers vs one process (pictures/s)",
                     statistics.median(rate_local) / statistics.median(rate_one), 0.9, True,
                     f"cluster {spread(rate_local, 'pictures/s')}, one process {spread(rate_one, 'pictures/s')}; "
                     f"die time outside tasks per task: cluster {spread(overhead[1], 'ms')}, one process "
                     f"{spread(overhead[0], 'ms')}; {pictures} pictures in {local[0][2]} tasks; one process with glibc's "
                     f"default thresholds {spread(rate_default, 'pictures/s')}; load {load_average()}")
        walls = [[s for s, _, _ in runs] for runs in (killed, local)]
        report.ratio("main job, a worker SIGKILLed at 50% vs undisturbed (wall time)",
                     statistics.median(walls[0]) / statistics.median(walls[1]), float("inf"), False,
                     f"killed {spread(walls[0], 's')}, undisturbed {spread(walls[1], 's')} "
                     "(min/median/max); no target, reported")


if __name__ == "__main__":
    from harness import Report

    results = Report()
    run(results)
    results.print()
