"""The main job on a Dask cluster (--scheduler ADDRESS, --local-workers N).

The client (this process) reads the inputs, cuts them into the same tasks
as a run in one process and writes results.jsonl; each task runs on a
worker, on one of its dies, and comes back whole: its records and its few
thumbnails, never its pictures. Because a task's records reach the writer
only once the task has finished, a task re-run after its worker died
(Dask runs it again elsewhere) is written once, like any other. A task that
fails on a worker is tried again there or on another (RETRIES); if every
try fails, the summary lists it with its reason and the pictures it gave
before failing, as in one process.

Each worker opens the card once and keeps its dies, models and clips
open from task to task: its setup is the plugins of `workers`, which also
has what runs there.
"""
from __future__ import annotations

import dataclasses

import argparse
import collections
import contextlib
import logging
import os
import pathlib
import queue
import sys
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple

import dask
from distributed import Client, LocalCluster

from . import demo, job, progress, sources
from .errors import TaskError, UserError
from .job import Signals
from .outputs import ResultsWriter, Sampler
from .workers import VISIBLE_DIES, WORKER_LOG, Job, ModelFile, TaskResult, WorkerLog, host_dies, plugins, \
    describe_model, run_on_worker, worker_label

RETRIES = 2               # a failing task is tried three times in all
CONNECT_TIMEOUT = 30.0    # seconds to reach a scheduler
WORKERS_TIMEOUT = 120.0   # seconds for the workers to join (the first, on a cluster started elsewhere)
WATCH_PERIOD = 0.5        # seconds between looks at the cluster's workers
WORKER_HINT = "start workers with: dask worker ADDRESS --nthreads K --resources dies=K"


def shares(dies: Sequence[int], workers: int) -> List[List[int]]:
    """`dies` split into `workers` runs of neighbouring dies, as even as can be."""
    if workers > len(dies):
        raise UserError(f"--local-workers {workers}: this machine has {len(dies)} dies, and a worker needs one "
                        "at least")
    cut = [len(dies) * i // workers for i in range(workers + 1)]
    return [list(dies[cut[i]:cut[i + 1]]) for i in range(workers)]


def local_cluster(workers: int) -> LocalCluster:
    """N worker processes on the loopback interface, each pinned to its
    share of this process's dies."""
    import quillon

    pinned = shares(host_dies([device.index for device in quillon.devices()]), workers)
    # Dask's own recovery from a lost worker is logged as errors; the run
    # says itself what a user needs to know.
    cluster = LocalCluster(n_workers=0, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0",
                           silence_logs=logging.CRITICAL)
    for number, share in enumerate(pinned):
        options = dict(cluster.new_spec["options"], nthreads=len(share), resources={"dies": len(share)},
                       env={VISIBLE_DIES: ",".join(map(str, share))})
        cluster.worker_spec[f"quillon-{number}"] = {"cls": cluster.new_spec["cls"], "options": options}
    cluster.scale(workers)
    return cluster


def connect(args: argparse.Namespace, stack: contextlib.ExitStack) -> Tuple[Client, str]:
    if args.local_workers:
        # A worker samples its threads' stacks every 10 ms for the dashboard's
        # profile: a quarter of a die's time on a busy machine. The nannies
        # hand the settings of this process, as they are when they start
        # (or restart) their workers, to them: set for the cluster's life,
        # which is the run's, and put back as it was after.
        stack.enter_context(dask.config.set({"distributed.worker.profile.enabled": False}))
        cluster = stack.enter_context(contextlib.closing(local_cluster(args.local_workers)))
        client = stack.enter_context(contextlib.closing(Client(cluster)))
        try:
            client.wait_for_workers(args.local_workers, timeout=WORKERS_TIMEOUT)
        except TimeoutError:
            raise UserError(f"--local-workers {args.local_workers}: the workers did not start within "
                            f"{WORKERS_TIMEOUT:.0f} s") from None
        return client, cluster.scheduler_address
    address = args.scheduler if "://" in args.scheduler else f"tcp://{args.scheduler}"
    try:
        client = Client(address, timeout=CONNECT_TIMEOUT)
    except (OSError, TimeoutError) as error:
        raise UserError(f"{args.scheduler}: no Dask scheduler answers there ({error})") from None
    stack.enter_context(contextlib.closing(client))
    return client, address


def workers_with_dies(client: Client) -> Dict[str, Tuple[str, int]]:
    """The workers offering dies: address -> (label, dies)."""
    found = {}
    for address, info in client.scheduler_info()["workers"].items():
        dies = int(info.get("resources", {}).get("dies", 0))
        if dies > 0:
            found[address] = (worker_label(info.get("name", address), address), dies)
    return found


def wait_for_dies(client: Client, address: str, timeout: float) -> Dict[str, Tuple[str, int]]:
    deadline = time.monotonic() + timeout
    while not (found := workers_with_dies(client)):
        if time.monotonic() > deadline:
            raise UserError(f"{address}: no worker of the cluster offers dies ({WORKER_HINT})")
        time.sleep(0.2)
    return found


def _has_bokeh() -> bool:
    import importlib.util

    return importlib.util.find_spec("bokeh") is not None


def dashboard_runs(client: Client) -> bool:
    """Dask's web server runs without bokeh, but its dashboard pages need it."""
    return "dashboard" in client.scheduler_info().get("services", {}) and bool(client.run_on_scheduler(_has_bokeh))


class ClusterProgress(progress.Progress):
    """The progress line with the pictures each worker has done."""

    def __init__(self, total: Optional[int], quiet: bool) -> None:
        super().__init__(total, [], quiet)
        self.workers: Dict[str, int] = {}

    def line(self, done: int) -> str:
        return super().line(done) + "".join(f" | {label} {count}" for label, count in sorted(self.workers.items()))


@dataclass
class WorkerStats:
    pictures: int = 0
    tasks: int = 0
    busy: float = 0.0


@dataclass
class Run:
    """The client's side of a run: tasks handed to the cluster a few at a
    time (so that a free die takes the next task, as in one process) and
    their results written in order, each task's once."""

    client: Client
    jobs: Sequence[Job]
    writer: ResultsWriter
    sampler: Sampler
    bar: ClusterProgress
    quiet: bool
    done: int = 0
    failures: List[str] = field(default_factory=list)
    stats: Dict[str, WorkerStats] = field(default_factory=dict)
    lost: List[str] = field(default_factory=list)
    known: Dict[str, int] = field(default_factory=dict)   # every worker seen: label -> dies
    initial: Dict[str, int] = field(default_factory=dict)  # the workers at the start
    signals: Optional[Signals] = None                      # the run's, which a wait for results lets break in

    def run(self) -> None:
        finished: "queue.Queue[Any]" = queue.Queue()
        waiting: Deque[Job] = collections.deque(self.jobs)
        running: Dict[str, Tuple[Any, Job]] = {}
        written: set[int] = set()
        prefix = f"quillon-{uuid.uuid4().hex[:8]}-task-"
        workers, watched = self._watch({}), time.monotonic()
        self.initial = dict(self.known)
        while waiting or running:
            window = 2 * max(1, sum(dies for _, dies in workers.values()))
            while waiting and len(running) < window:
                job = waiting.popleft()
                future = self.client.submit(run_on_worker, job, key=f"{prefix}{job.task.number}",
                                            resources={"dies": 1}, retries=RETRIES, priority=-job.task.number)
                running[future.key] = (future, job)
                future.add_done_callback(finished.put)
            try:
                with self.signals.raising() if self.signals else contextlib.nullcontext():
                    future = finished.get(timeout=WATCH_PERIOD)
                if future.status in ("pending", "lost"):  # its worker died before the result was fetched
                    future.add_done_callback(finished.put)
                    continue
                entry = running.pop(future.key, None)
                if entry is not None and entry[1].task.number not in written:  # each task's lines once
                    written.add(entry[1].task.number)
                    self._write(*entry)
            except queue.Empty:
                pass
            if time.monotonic() - watched >= WATCH_PERIOD:
                workers, watched = self._watch(workers), time.monotonic()
            self.bar.draw(self.done)

    def _watch(self, before: Dict[str, Tuple[str, int]]) -> Dict[str, Tuple[str, int]]:
        now = workers_with_dies(self.client)
        self.known.update(now.values())
        for address in before.keys() - now.keys():
            self.lost.append(before[address][0])
            if not self.quiet:
                self.bar.clear()
                print(f"quillon-pipeline: worker {before[address][0]} left; its tasks run again on the others",
                      file=sys.stderr)
        return now

    def _write(self, future: Any, job: Job) -> None:
        number = job.task.number
        result: Optional[TaskResult] = None
        if future.status == "finished":
            result = future.result()
        elif future.status == "error":
            error = future.exception()
            if isinstance(error, UserError):
                raise error
            if isinstance(error, TaskError):
                result = error.args[1]
                self.failures.append(str(error))
            else:  # a task whose workers all died (KilledWorker), or a fault of the program on a worker
                where = job.item.shown if job.task.segment is None else \
                    f"{job.item.shown} (pictures from #{job.task.first_picture})"
                text = str(error).strip().splitlines()[0] if str(error).strip() else ""
                self.failures.append(f"{where}: {type(error).__name__} {text}".rstrip())
        else:
            raise UserError(f"the cluster dropped a task ({future.status}); is the scheduler still running?")
        if result is not None:
            for record in result.records:
                self.writer.add(number, job.task.input, record)
            for thumbnail in result.thumbnails:  # a task's own sampling keeps more when the total is unknown
                if self.sampler.wanted(int(thumbnail.position)):
                    self.sampler.keep(thumbnail)
            stats = self.stats.setdefault(result.worker, WorkerStats())
            stats.pictures += len(result.records)
            stats.tasks += 1
            stats.busy += result.busy
            self.done += len(result.records)
            self.bar.workers[result.worker] = stats.pictures
        self.writer.task_done(number)


def run(args: argparse.Namespace, signals: Signals) -> int:
    """The main job with its tasks on a cluster; arguments and exit status
    as in one process."""
    begun = job.start(args, signals)
    out, inputs, unread = begun.out, begun.inputs, begun.unread
    model_file = ModelFile(*(os.path.abspath(path) if path else None for path in (args.model, args.cache)))
    log = out / WORKER_LOG
    if args.local_workers:
        try:
            log.write_bytes(b"")  # this run's
        except OSError as error:
            raise UserError(f"{log}: cannot be written ({error.strerror})") from None
    with contextlib.ExitStack() as stack:
        client, address = connect(args, stack)
        signals.check()
        if args.local_workers:
            client.register_worker_plugin(WorkerLog(str(log.resolve())), name=WorkerLog.name)
        for plugin in plugins():  # workers joining later get them too
            client.register_worker_plugin(plugin, name=plugin.name)
        with signals.raising():
            workers = wait_for_dies(client, address, WORKERS_TIMEOUT)
        dashboard = client.dashboard_link if dashboard_runs(client) else ""
        if dashboard and not args.quiet:
            print(f"quillon-pipeline: dashboard at {dashboard}", file=sys.stderr)
        described = client.submit(describe_model, model_file, resources={"dies": 1}, pure=False)
        with signals.raising():
            output_names, width, height, model_name, classes = described.result()
        # The built-in model is made on the workers; the client's copy is alike.
        classifier = job.classifier(args, begun.labels, output_names, classes, pathlib.Path(model_file.path)
                                    if model_file.path else demo.builtin_model(begun.cache), model_file.path is None)
        tasks = sources.tasks(inputs, sum(dies for _, dies in workers.values()))
        signals.check()
        counts = [i.frame_count for i in inputs]
        total = job.total_pictures(inputs)
        starts = [sum(c or 0 for c in counts[:index]) for index in range(len(inputs))]
        # Each task carries its own share of a sampled input's numbers: the
        # whole list need not travel with every task.
        shipped = [dataclasses.replace(item, wanted=None) for item in inputs]
        jobs = [Job(task, shipped[task.input], model_file, classifier, total, starts[task.input] + task.first_picture)
                for task in tasks]
        writer = ResultsWriter(out, inputs)
        stack.callback(writer.close, flush=False)  # an interrupted run has written its lines in finish()
        going = Run(client, jobs, writer, Sampler(total), ClusterProgress(total, args.quiet), args.quiet,
                    signals=signals)
        started = time.monotonic()
        interrupted = False
        try:
            going.run()
        except KeyboardInterrupt:
            interrupted = True
        elapsed = time.monotonic() - started
        going.bar.clear()
        with signals.held():
            import quillon

            sheet_line = job.finish(out, writer, going.sampler, interrupted, args.annotate, inputs,
                                    quillon.devices()[0].index)
            print(job.summary(report(going, address, dashboard, f"{model_name} ({width}x{height} input)",
                                     log if args.local_workers else None),
                              inputs, elapsed, writer, sheet_line, interrupted, unread))
            stack.close()  # the cluster stops inside the held block: a signal now waits for it
    return job.exit_status(interrupted, writer.lines, unread)


def report(run: Run, address: str, dashboard: str, model: str, log: Optional[pathlib.Path] = None) -> job.Report:
    """The summary's lines of a run on a cluster: its address, a row a
    worker, the workers lost, where the workers' messages went."""
    dies, initial = run.known, run.initial
    table = [f"  {'worker':<36} {'dies':>4} {'pictures':>9} {'tasks':>6} {'busy (s)':>9}"]
    for label in sorted(dies.keys() | run.stats.keys()):
        stats = run.stats.get(label, WorkerStats())
        table.append(f"  {label:<36} {dies.get(label, 0):>4} {stats.pictures:>9} {stats.tasks:>6} {stats.busy:>9.2f}")
    remarks = [f"  workers lost during the run: {len(run.lost)} (their tasks ran again on the others)"] \
        if run.lost else []
    # The segments of an input a worker cannot read fail alike: one line for them (grouped).
    return job.Report(f"{job.plural(len(initial), 'worker')} ({job.plural(sum(initial.values()), 'die')})", model,
                      run.failures,
                      place=[f"  cluster: {address}" + (f" (dashboard: {dashboard})" if dashboard else "")],
                      table=table, remarks=remarks, grouped=True,
                      trailer=[f"  workers' messages: {log}"] if log is not None else [])
