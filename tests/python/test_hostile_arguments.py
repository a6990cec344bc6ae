"""Every public callable of the module, called with hostile arguments in three
runtime states (before initialisation, initialised, after uninitialisation),
in worker processes so that a crash, an abort, a sanitizer report or a hang
is caught and named. Python exceptions are the expected outcome of most calls;
only the death or the silence of a worker fails.

What is swept is found by introspection (hostile_worker.py), so callables
added later are covered without editing either file.

Which hostile addresses are fair. The memory helpers trust a host address
they are given (getNumpyFromHandle, getFloat16Array, memcpy to and from the
host): a capsule of a readable address that is not the caller's may be read
or written, as documented, so no such capsule is swept. Fair are the
addresses the module and the libraries can tell apart: null, the first page,
a page just unmapped, kernel and non-canonical addresses (readability is
probed before any read), device addresses and handles of every kind, live,
destroyed or released by uninitialisation (the libraries check them), a
block from mallocHost that was freed, and instances of the module's record
classes, constructed or not (the module knows their size).
"""
import json
import os
import re
import selectors
import subprocess
import sys
import time
import warnings

import pytest

import _quillon_pybind11
import hostile_worker as worker

MODULE_DIR = os.path.dirname(_quillon_pybind11.__file__)

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZED = os.environ.get("QUILLON_SANITIZER") == "1"
# A worker that reports no progress for this long is hung.
HANG_SECONDS = 60 if SANITIZED else 20
CHUNK = 4000
WORKERS = 2
# A callable that killed its worker this often in one state is not called
# again in that state: its first findings name the fault.
FINDINGS_PER_TARGET = 1
# Seconds spent at most on replays that name the call behind a crash.
REPLAY_BUDGET = 60

# Crashes of faults being mended elsewhere: (target pattern, argument pattern,
# fault). Each entry goes when its fix lands.
KNOWN_CRASHES = []


def known(finding):
    """The known fault behind a finding: its call, or the earlier call it needs."""
    for target, args in filter(None, (finding["call"], finding.get("cause"))):
        text = ", ".join(args)
        for pattern, arg_pattern, fault in KNOWN_CRASHES:
            if re.fullmatch(pattern, target) and re.search(arg_pattern, text):
                return fault
    return None


class Run:
    """One worker process over a slice of one state's plan."""

    def __init__(self, sweep, state, first, last):
        self.state, self.first, self.last = state, first, last
        self.current, self.done = None, False
        self.stderr_path = os.path.join(sweep.log_dir, f"{state}-{first}-{last}-{time.monotonic_ns()}.err")
        self.stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "hostile_worker.py"), sweep.plan_file, state, str(first), str(last),
             sweep.data_dir],
            stdout=subprocess.PIPE, stderr=self.stderr, env=worker_environment())
        self.buffer = b""
        self.progress = time.monotonic()

    def feed(self, data):
        self.buffer += data
        *lines, self.buffer = self.buffer.split(b"\n")
        for line in lines:
            if line.startswith(b"call "):
                self.current = int(line[5:])
            elif line == b"done":
                self.done = True
        self.progress = time.monotonic()

    def report(self):
        self.stderr.close()
        with open(self.stderr_path, "rb") as err:
            text = err.read().decode(errors="replace")
        lines = [l for l in text.splitlines()
                 if re.search(r"ERROR: AddressSanitizer|runtime error:|Fatal Python error|terminate called|Assertion", l)]
        rest = text.strip().splitlines()
        return lines[0].strip() if lines else (rest[-1].strip() if rest else "")


def worker_environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(MODULE_DIR), HERE, env.get("PYTHONPATH")) if p)
    env.setdefault("QUILLON_LOG", os.devnull)
    # Sanitizer reports of a worker go to its standard error, read here.
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] = ":".join(o for o in env[name].split(":") if not o.startswith("log_path="))
    if SANITIZED:
        # Sizes far beyond memory fail at once rather than being zero-filled.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=1024"
    return env


def outcome(run, hung):
    if hung:
        return "hang"
    code = run.process.returncode
    if code < 0:
        return {6: "abort (SIGABRT)", 11: "crash (SIGSEGV)", 7: "crash (SIGBUS)", 8: "crash (SIGFPE)",
                4: "crash (SIGILL)"}.get(-code, f"killed by signal {-code}")
    if code == 86:
        return "sanitizer report"
    return f"exit status {code}"


class Sweep:
    """The plan, the worker slots and what was found."""

    def __init__(self, calls, tmp_path):
        self.calls = calls
        self.data_dir, self.log_dir = str(tmp_path / "data"), str(tmp_path / "logs")
        self.plan_file = str(tmp_path / "plan.json")
        worker.make_data(self.data_dir)
        os.makedirs(self.log_dir)
        self.skip = {state: set() for state in calls}
        self.crashes = {}
        self.write_plan()

    def write_plan(self, keep=None):
        skip = {s: sorted(t - {keep}) for s, t in self.skip.items()}
        # Replaced whole, as running workers may be reading it.
        with open(self.plan_file + ".new", "w") as out:
            json.dump({**self.calls, "skip": skip}, out)
        os.replace(self.plan_file + ".new", self.plan_file)

    def run(self, slices, resume=True):
        """Runs the slices on the worker slots; a worker that dies or hangs
        is recorded at the call it was in and, with resume, a new one goes
        on after that call."""
        queue, running, findings = list(slices), [], []
        selector = selectors.DefaultSelector()
        while queue or running:
            while queue and len(running) < WORKERS:
                run = Run(self, *queue.pop(0))
                selector.register(run.process.stdout, selectors.EVENT_READ, run)
                running.append(run)
            for key, _ in selector.select(timeout=1.0):
                run = key.data
                data = os.read(key.fileobj.fileno(), 65536)
                if data:
                    run.feed(data)
                    continue
                selector.unregister(key.fileobj)
                run.process.wait()
                self.finish(run, False, queue if resume else None, findings, running)
            for run in list(running):
                if time.monotonic() - run.progress > HANG_SECONDS:
                    run.process.kill()
                    run.process.wait()
                    selector.unregister(run.process.stdout)
                    self.finish(run, True, queue if resume else None, findings, running)
        return findings

    def finish(self, run, hung, queue, findings, running):
        running.remove(run)
        run.process.stdout.close()
        if run.done and run.process.returncode == 0 and not hung:
            run.stderr.close()
            return
        if run.current is None:
            raise RuntimeError(f"a sweep worker died before its first call:\n{open(run.stderr_path).read()}")
        at = run.current
        findings.append({"state": run.state, "index": at, "first": run.first, "outcome": outcome(run, hung),
                         "detail": run.report()})
        if queue is None:
            return
        target = self.calls[run.state][at][0]
        key = (run.state, target)
        self.crashes[key] = self.crashes.get(key, 0) + 1
        if self.crashes[key] >= FINDINGS_PER_TARGET:
            self.skip[run.state].add(target)
            self.write_plan()
        if at + 1 < run.last:
            queue.insert(0, (run.state, at + 1, run.last))

    def kills(self, state, first, last):
        """Whether calls [first, last) of a state kill a fresh worker in
        the last of them."""
        self.write_plan(keep=self.calls[state][last - 1][0])
        return any(f["index"] == last - 1 for f in self.run([(state, first, last)], resume=False))

    def attribute(self, finding, deadline):
        """Names the call that did the damage when the crashing call alone
        does not: the latest earlier call of the same worker whose effect
        it needs (it may have corrupted memory that this one then touched)."""
        state, index = finding["state"], finding["index"]
        if finding["outcome"] == "hang" or time.monotonic() > deadline or self.kills(state, index, index + 1):
            return None
        low, high = finding["first"], index
        if not self.kills(state, low, index + 1):
            return None
        while high - low > 1 and time.monotonic() < deadline:
            middle = (low + high) // 2
            if self.kills(state, middle, index + 1):
                low = middle
            else:
                high = middle
        if high - low > 1:
            return None
        return tuple(self.calls[state][low])


def describe(finding):
    target, args = finding["call"]
    text = f"{finding['outcome']}: {target}({', '.join(args)}) [{finding['state']}]"
    if finding.get("cause"):
        target, args = finding["cause"]
        text += f"; needs the earlier call {target}({', '.join(args)})"
    if finding["detail"]:
        text += f"\n      {finding['detail']}"
    return text


def test_no_hostile_argument_kills_the_interpreter(tmp_path):
    calls = {state: worker.plan(_quillon_pybind11, state) for state in worker.STATES}
    sweep = Sweep(calls, tmp_path)
    slices = [(state, first, min(first + CHUNK, len(calls[state])))
              for state in worker.STATES for first in range(0, len(calls[state]), CHUNK)]
    findings = sweep.run(slices)
    deadline = time.monotonic() + REPLAY_BUDGET
    for finding in findings:
        finding["call"] = tuple(calls[finding["state"]][finding["index"]])
        finding["cause"] = sweep.attribute(finding, deadline)
    expected = [(f, known(f)) for f in findings if known(f)]
    unexpected = [f for f in findings if not known(f)]
    for finding, fault in expected:
        warnings.warn(f"known fault ({fault}) still present: {describe(finding)}")
    total = sum(len(c) for c in calls.values())
    assert not unexpected, f"{len(unexpected)} of {total} hostile calls killed the worker:\n" + "\n".join(
        "  " + describe(f) for f in unexpected)
