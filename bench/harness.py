"""Shared timing and reporting for the benchmarks.

Every benchmark compares against a baseline measured in the same process,
and reports a ratio of medians over runs that take turns with the
baseline's; each row also prints min/median/max of the runs it was made
from and the load average, since this machine's timings drift.
"""
import os
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("QUILLON_BUILD_DIR", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))


def seconds_per_call(fn, number=1):
    """Seconds per call over one run of `number` calls of fn."""
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


class Timing(float):
    """Median seconds per call over interleaved runs (usable as a number),
    keeping every run's figure for the spread printed with a ratio."""

    def __new__(cls, runs):
        timing = super().__new__(cls, statistics.median(runs))
        timing.runs = list(runs)
        return timing


def interleaved(fns, number=1, repeat=7):
    """A Timing for each function, measured in alternation so that the
    machine's state drifts alike for all of them."""
    return [Timing(runs) for runs in interleaved_runs(fns, number, repeat)]


class Report:
    def __init__(self):
        self.rows = []

    def ratio(self, name, value, target, higher_is_better, detail="", runs=None):
        """Records `value` (a ratio) against its target. `runs` names the
        Timings it came from, whose min/median/max are printed with it; the
        load average is added unless the detail already gives it."""
        met = value >= target if higher_is_better else value <= target
        if runs:
            spreads = ", ".join(f"{label} {spread(timing.runs)}" for label, timing in runs.items())
            detail = f"{detail} (runs min/median/max: {spreads})" if detail else f"runs min/median/max: {spreads}"
        if "load" not in detail:
            detail = f"{detail}; load {load_average()}" if detail else f"load {load_average()}"
        sign = ">=" if higher_is_better else "<="
        self.rows.append((name, value, f"{sign} {target:g}", "ok" if met else "MISSED", detail))

    def print(self):
        width = max((len(r[0]) for r in self.rows), default=10)
        for name, value, target, verdict, detail in self.rows:
            print(f"{name:<{width}}  {value:8.3f}x  target {target:<8} {verdict:<6} {detail}")


def interleaved_runs(fns, number=1, runs=9):
    """Seconds per call of each function in every run (lists in the order of
    fns), the functions taking turns run after run."""
    times = [[] for _ in fns]
    for _ in range(runs):
        for i, fn in enumerate(fns):
            times[i].append(seconds_per_call(fn, number))
    return times


def spread(times):
    """min/median/max of per-call times, in the unit that suits them."""
    scale, unit = (1e3, "ms") if min(times) >= 1e-3 else (1e6, "us") if min(times) >= 1e-6 else (1e9, "ns")
    low, middle, high = (v * scale for v in (min(times), statistics.median(times), max(times)))
    return f"{low:.1f}/{middle:.1f}/{high:.1f} {unit}"


def load_average():
    """The 1, 5 and 15 minute load averages, as printed with each ratio."""
    return "/".join(f"{v:.1f}" for v in os.getloadavg())
