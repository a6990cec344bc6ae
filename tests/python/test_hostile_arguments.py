# Every public callable of the module, called with hostile arguments in three
# runtime states (before initialisation, initialised, after uninitialisation),
# in worker processes so that a crash, an abort, a sanitizer report or a hang
# is caught and the call named. Python exceptions are the expected outcome of
# most calls; only the death or the silence of a worker fails. What is swept
# is found by introspection (hostile_worker.py), so callables added later are
# covered without editing either file.
#
# Which hostile addresses are fair. The memory helpers trust a host address
# they are given (getNumpyFromHandle, getFloat16Array, memcpy to and from the
# host): a capsule of a readable address that is not the caller's may be read
# or written, as documented, so no such capsule is swept. Fair are the
# addresses the module and the libraries can tell apart: null, the first page,
# a page just unmapped, kernel and non-canonical addresses (readability is
# probed before any read), device addresses and handles of every kind, live,
# destroyed or released by uninitialisation (the libraries check them), a
# block from mallocHost that was freed, and instances of the module's record
# classes, constructed or not (the module knows their size).
#
# The workers share one card, of a platform of their own, so the hostile
# calls also go through the state the processes on a card share.
import json
import os
import re
import signal
import subprocess
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import _quillon_pybind11
import hostile_worker as worker
from conftest import ROOT

SANITIZED = os.environ.get("QUILLON_SANITIZER") == "1"
# A worker that reports no progress for this long is hung.
HANG_SECONDS = 60 if SANITIZED else 20
CHUNK = 4000
WORKERS = 2
# Crashes that do not recur alone are replayed at most this often.
REPLAYS = 10
# Crashes of faults being mended elsewhere: (target pattern, argument
# pattern, fault). Each entry goes when its fix lands.
KNOWN_CRASHES = []
REPORT = re.compile(r"ERROR: AddressSanitizer|runtime error:|Fatal Python error|terminate called|Assertion")


def environment(data_dir):
    env = dict(os.environ, QUILLON_LOG=os.environ.get("QUILLON_LOG", os.devnull),
               QUILLON_PLATFORM=os.path.join(data_dir, "platform.json"))
    env.pop("QUILLON_SHARED_STATE", None)
    module_dir = os.path.abspath(os.path.dirname(_quillon_pybind11.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, (module_dir, str(ROOT / "python"),
                                                os.path.dirname(os.path.abspath(__file__)), env.get("PYTHONPATH"))))
    # A worker's sanitizer reports go to its standard error, read here.
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] = ":".join(o for o in env[name].split(":") if not o.startswith("log_path="))
    if SANITIZED:
        # Sizes far beyond memory fail at once rather than being zero-filled.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=1024"
    return env


def run_worker(state, first, last, dirs):
    # Makes calls [first, last) in a fresh worker: None if all went well, else
    # (index of the call it died or hung in, what happened).
    base = os.path.join(dirs[1], f"{state}-{first}-{last}-{time.monotonic_ns()}")
    with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
        # In a folder of its own: a call given a relative path may create that file.
        process = subprocess.Popen([sys.executable, os.path.abspath(worker.__file__), state, str(first), str(last),
                                    dirs[0]], stdout=out, stderr=err, env=environment(dirs[0]), cwd=dirs[1])
        hung, size, progress = False, -1, time.monotonic()
        while process.poll() is None and not hung:
            time.sleep(0.2)
            if os.path.getsize(base + ".out") != size:
                size, progress = os.path.getsize(base + ".out"), time.monotonic()
            elif time.monotonic() - progress > HANG_SECONDS:
                process.kill()
                hung = process.wait() or True
    # Progress is call numbers, one a line; a library may print its own text there too.
    lines = open(base + ".out", errors="replace").read().split()
    errors = open(base + ".err", errors="replace").read().strip().splitlines()
    if not hung and process.returncode == 0 and lines[-1:] == ["done"]:
        return None
    calls = [line for line in lines if line.isdigit()]
    if not calls:
        raise RuntimeError("a sweep worker died before its first call:\n" + "\n".join(errors))
    code = process.returncode
    what = ("hang" if hung else "sanitizer report" if code == 86 else f"killed by {signal.Signals(-code).name}"
            if code < 0 else f"exit status {code}") + (" at exit" if lines[-1] == "done" else "")
    detail = next((line for line in errors if REPORT.search(line)), errors[-1] if errors else "")
    return int(calls[-1]), what + (f": {detail.strip()}" if detail else "")


def sweep(state, first, last, calls, dirs):
    # A slice of one state's plan; after a worker dies a new one goes on
    # after the callable that killed it (its first finding names the fault).
    findings = []
    while first < last:
        death = run_worker(state, first, last, dirs)
        if death is None:
            break
        at, what = death
        findings.append((state, first, at, what))
        first = at + 1
        while first < last and calls[first][0] == calls[at][0]:
            first += 1
    return findings


def call_text(call):
    return f"{call[0]}({', '.join(call[1])})"


def known(call):
    return next((fault for target, arguments, fault in KNOWN_CRASHES
                 if re.fullmatch(target, call[0]) and re.search(arguments, ", ".join(call[1]))), None)


def test_no_hostile_argument_kills_the_interpreter(tmp_path):
    calls = {state: worker.plan(worker.attach(_quillon_pybind11), state) for state in worker.STATES}
    dirs = (str(tmp_path / "data"), str(tmp_path / "logs"))
    worker.make_data(dirs[0])
    # The default platform's shape, under a name no other run uses.
    (tmp_path / "data" / "platform.json").write_text(json.dumps({"cards": [{"uuid": os.urandom(16).hex()}]}))
    os.makedirs(dirs[1])
    slices = [(state, first, min(first + CHUNK, len(calls[state])))
              for state in worker.STATES for first in range(0, len(calls[state]), CHUNK)]
    with ThreadPoolExecutor(WORKERS) as pool:
        findings = sum(pool.map(lambda s: sweep(*s, calls[s[0]], dirs), slices), [])
    unexpected, replays = [], REPLAYS
    for state, first, at, what in findings:
        call = calls[state][at]
        text = f"{what}\n    in {call_text(call)} [{state}]"
        # A crash that does not recur alone needs an earlier call of its
        # worker (one that corrupted memory, say): the last few are named.
        if not what.startswith("hang") and replays > 0:
            replays -= 1
            if run_worker(state, at, at + 1, dirs) is None:
                text += "; not alone, after " + "; ".join(call_text(c) for c in calls[state][max(first, at - 5):at])
        if known(call):
            warnings.warn(f"known fault ({known(call)}) still present: {text}")
        else:
            unexpected.append(text)
    total = sum(len(c) for c in calls.values())
    assert not unexpected, f"{len(unexpected)} of {total} hostile calls killed the worker:\n" + "\n".join(unexpected)
