#!/usr/bin/python3
"""SIGINT at random moments of the main job's first second, N runs.

    scripts/sigint-stress.py [COUNT] [--seed N]      (COUNT: default 200)

Each run is started one of three ways in turn (by file name as
scripts/run.sh does, `python3 -m quillon.pipeline`, and the quillon-pipeline
command), on a short demo clip in an output folder that holds a previous
results.jsonl. Once the program's first line has run (its SIGTERM handler is
in: what comes before is the interpreter's own start), the signal goes at a
random moment of the next second. Every run must end one of two ways:

  interrupted   status 130, standard error exactly "quillon-pipeline: interrupted"
                (a summary on standard output allowed), and results.jsonl the
                previous one or a complete run's
  completed     status 0, nothing on standard error, and results.jsonl complete
                and right (every picture once, the built-in model's classes and
                its output named edge_energy)

Anything else is listed. Prints the outcomes by way of starting; exits 1 when
a run ended any other way. The build is QUILLON_BUILD_DIR's (default build/).
"""
import argparse
import collections
import json
import os
import pathlib
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
PICTURES = 30
PREVIOUS = '{"previous": "run"}\n'
COLOURS = {"black", "white", "grey", "red", "green", "blue", "yellow", "cyan", "magenta"}
# What pip writes for a console script, under the command's name.
COMMAND = """import re
import sys
from quillon.pipeline.__main__ import main
if __name__ == "__main__":
    sys.argv[0] = re.sub(r"(-script\\.pyw|\\.exe)?$", "", sys.argv[0])
    sys.exit(main())
"""


def handlers_in(pid: int) -> bool:
    """The program's first line ran: SIGTERM, which the interpreter leaves alone, is caught."""
    try:
        with open(f"/proc/{pid}/status") as status:
            caught = int(next(line for line in status if line.startswith("SigCgt")).split()[1], 16)
    except (OSError, StopIteration):
        return False
    return bool(caught & (1 << (signal.SIGTERM - 1)))


def complete(results: pathlib.Path) -> str:
    """'' when results.jsonl is a whole run's, else what is wrong with it."""
    try:
        lines = [json.loads(line) for line in results.read_text().splitlines()]
    except (OSError, ValueError) as error:
        return f"results.jsonl unreadable ({error})"
    if [line.get("picture") for line in lines] != list(range(PICTURES)):
        return f"results.jsonl holds {len(lines)} lines, not pictures 0-{PICTURES - 1}"
    wrong = [line for line in lines if line.get("label") not in COLOURS or "edge_energy" not in line]
    return f"results.jsonl line wrong: {wrong[0]}" if wrong else ""


def outcome(code: int, out: str, err: str, results: pathlib.Path) -> str:
    if code == 130:
        if err.strip() != "quillon-pipeline: interrupted":
            return f"130, standard error: {err.strip()[-300:]!r}"
        if results.read_text() != PREVIOUS and complete(results):
            return f"130, {complete(results)}"
        return "interrupted"
    if code == 0:
        if err:
            return f"0, standard error: {err.strip()[-300:]!r}"
        return f"0, {complete(results)}" if complete(results) else "completed"
    return f"status {code}, standard error: {err.strip()[-300:]!r}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", nargs="?", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    chance = random.Random(args.seed)
    build = pathlib.Path(os.environ.get("QUILLON_BUILD_DIR", ROOT / "build"))
    env = dict(os.environ, PYTHONPATH=f"{build / 'python'}:{ROOT / 'python'}")
    python = "/usr/bin/python3"
    work = pathlib.Path(tempfile.mkdtemp(prefix="sigint-stress-"))
    try:
        command = work / "bin" / "quillon-pipeline"
        command.parent.mkdir()
        command.write_text(f"#!{python}\n{COMMAND}")
        command.chmod(0o755)
        starts = {
            "file": [python, str(ROOT / "python" / "quillon" / "pipeline" / "__main__.py")],
            "module": [python, "-m", "quillon.pipeline"],
            "command": [str(command)],
        }
        common = ["--demo-pictures", str(PICTURES), "--cache", str(work / "cache"), "--quiet"]
        # The clip and the model made beforehand: every run then starts alike.
        made = subprocess.run(starts["file"] + common + ["--out", str(work / "first")], env=env,
                              capture_output=True, text=True)
        if made.returncode != 0:
            print(f"the first run failed ({made.returncode}): {made.stderr.strip()}", file=sys.stderr)
            return 2
        table = collections.Counter()
        odd = []
        for number in range(args.count):
            way = list(starts)[number % len(starts)]
            out = work / f"out{number}"
            out.mkdir()
            (out / "results.jsonl").write_text(PREVIOUS)
            process = subprocess.Popen(starts[way] + common + ["--out", str(out)], env=env, text=True,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            deadline = time.monotonic() + 30
            while not handlers_in(process.pid) and process.poll() is None and time.monotonic() < deadline:
                time.sleep(0.0005)
            delay = chance.uniform(0.0, 1.0)
            time.sleep(delay)
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
            try:
                stdout, stderr = process.communicate(timeout=120)
            except subprocess.TimeoutExpired:
                process.kill()
                stdout, stderr = process.communicate()
            result = outcome(process.returncode, stdout, stderr, out / "results.jsonl")
            table[way, result if result in ("interrupted", "completed") else "other"] += 1
            if result not in ("interrupted", "completed"):
                odd.append(f"run {number} ({way}, signal at {delay:.3f} s): {result}")
            shutil.rmtree(out, ignore_errors=True)
        print(f"{args.count} runs, SIGINT at a random moment of the first second after the program's first line")
        print(f"  {'started as':<10} {'interrupted':>12} {'completed':>10} {'other':>6}")
        for way in starts:
            print(f"  {way:<10} {table[way, 'interrupted']:>12} {table[way, 'completed']:>10} {table[way, 'other']:>6}")
        for line in odd:
            print(f"  {line}")
        return 1 if odd else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
