"""What runs on a Dask cluster's workers: a task on one of the worker's
dies, and the worker's setup, as plugins of one concern each, registered
by the client (workers joining later get them too):

- `MallocSettings`: glibc's thresholds for decoding (see `adaptive_malloc`);
- `DiePool`: the worker's dies, lent to one task at a time; the card is
  opened at the first task, so a worker that cannot open it says so in
  that task's error, naming the worker;
- `ModelCache`: one model per die and model file, loaded as a task first
  needs it;
- `ClipCache`: the clip last read on each die, kept open for the next
  segment, which is usually of the same clip;
- `WorkerLog` (local workers only): the worker's output into a file.

Each closes what it holds when the worker stops. Tasks carry no die state:
`run_on_worker` finds the plugins on its worker. A worker offers its dies
as the resource "dies" and every task asks for one; QUILLON_VISIBLE_DIES
pins a worker to its dies.
"""
from __future__ import annotations

import contextlib
import math
import os
import pathlib
import queue
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

from distributed import WorkerPlugin, get_worker

from . import demo
from .allocator import set_thresholds
from .classify import Classifier
from .errors import TaskError, TaskFailed, UserError
from .job import cache_folder, load_models
from .outputs import Sampler, Thumbnail
from .analysis import run_task
from .sources import Input, Task, open_video

VISIBLE_DIES = "QUILLON_VISIBLE_DIES"
WORKER_LOG = "workers.log"


@dataclass(frozen=True)
class ModelFile:
    """The model as workers find it: a file every worker reads, or None
    for the built-in model, which each worker makes in its cache folder."""

    path: Optional[str]
    cache: Optional[str]


@dataclass
class Job:
    """What a worker needs to run one task."""

    task: Task
    item: Input
    model: ModelFile
    classifier: Classifier
    total: Optional[int]      # pictures of the run, for sampling thumbnails
    position: int             # the task's first picture among them


@dataclass
class TaskResult:
    number: int
    worker: str
    records: List[Dict[str, Any]] = field(default_factory=list)
    thumbnails: List[Thumbnail] = field(default_factory=list)
    busy: float = 0.0


class WorkerLog(WorkerPlugin):
    """A local worker's standard output and error into a file of the output
    folder: Dask's own messages and tracebacks (a worker that leaves, the
    others tidying up after it) are not for the user's terminal, and the
    run says itself what a user needs to know. The worker is a process of
    the run's own, so its descriptors are the run's to point elsewhere."""

    name = "quillon-worker-log"

    def __init__(self, path: str) -> None:
        self.path = path

    def setup(self, worker: Any) -> None:
        descriptor = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):
                stream.flush()
        os.dup2(descriptor, 1)
        os.dup2(descriptor, 2)
        os.close(descriptor)


class MallocSettings(WorkerPlugin):
    """glibc's thresholds as the job sets them (see `adaptive_malloc`)."""

    name = "quillon-malloc"

    def setup(self, worker: Any) -> None:
        adaptive_malloc()


class DiePool(WorkerPlugin):
    """The worker's dies, each lent to one task at a time (`take`,
    `give_back`). The card is opened as the first task asks for a die."""

    name = "quillon-dies"

    def setup(self, worker: Any) -> None:
        self.label = worker_label(worker.name, worker.address)
        self.lock = threading.Lock()   # guards `free` and `host_dies` as the card is opened
        self.free: Optional["queue.Queue[int]"] = None
        self.host_dies: List[int] = []

    def take(self) -> int:
        """A free die of the worker (local number), waiting for one."""
        with self.lock:
            if self.free is None:
                import quillon

                try:
                    local = [device.index for device in quillon.devices()]
                except quillon.Error as error:
                    raise UserError(f"worker {self.label} cannot open the card ({error})") from None
                self.host_dies = host_dies(local)
                self.free = queue.Queue()
                for device in local:
                    self.free.put(device)
            if not self.host_dies:
                raise UserError(f"worker {self.label} has no die")
        return self.free.get()

    def give_back(self, device: int) -> None:
        assert self.free is not None
        self.free.put(device)


class ModelCache(WorkerPlugin):
    """The models loaded on the worker's dies, one per die and model file.
    Only the task holding a die asks for its models, so a model is loaded
    once, outside the lock, which guards the dictionary only."""

    name = "quillon-models"

    def setup(self, worker: Any) -> None:
        self.label = worker_label(worker.name, worker.address)
        self.lock = threading.Lock()
        self.models: Dict[Tuple[str, int], Any] = {}

    def teardown(self, worker: Any) -> None:
        with self.lock:
            models, self.models = list(self.models.values()), {}
        for model in models:
            model.close()

    def model(self, model_file: ModelFile, device: int) -> Any:
        """The model of `model_file` on `device`, which the caller holds."""
        path = pathlib.Path(model_file.path) if model_file.path else demo.builtin_model(
            cache_folder(model_file.cache))
        key = (str(path), device)
        with self.lock:
            model = self.models.get(key)
        if model is None:
            try:
                model = load_models(path, [device])[device]
            except UserError as error:
                raise UserError(f"worker {self.label}: {error}") from None
            with self.lock:
                self.models[key] = model
        return model


class ClipCache(WorkerPlugin):
    """The clip last read on each die, kept open: the segments of one clip
    usually follow each other, so a die keeps its clip open from one to
    the next, as in one process. Only the task holding a die asks for its
    clip."""

    name = "quillon-clips"

    def setup(self, worker: Any) -> None:
        self.lock = threading.Lock()   # guards `opened` against the worker's stopping
        self.opened: Dict[int, Tuple[str, Any]] = {}   # die -> the clip kept open on it

    def teardown(self, worker: Any) -> None:
        with self.lock:
            opened, self.opened = list(self.opened.values()), {}
        for _, video in opened:
            video.close()

    def video(self, device: int, source: str) -> Any:
        """`source` open on `device`."""
        with self.lock:
            kept = self.opened.pop(device, None)
        if kept is not None and kept[0] == source:
            video = kept[1]
        else:
            if kept is not None:
                kept[1].close()
            video = open_video(source, device)
        with self.lock:
            self.opened[device] = (source, video)
        return video


def plugins() -> List[Union[MallocSettings, DiePool, ModelCache, ClipCache]]:
    """The plugins every worker of a run gets, in the order they are set up."""
    return [MallocSettings(), DiePool(), ModelCache(), ClipCache()]


def adaptive_malloc() -> None:
    """Dask's nanny starts a worker with MALLOC_TRIM_THRESHOLD_ set, which
    also stops glibc from raising its mmap threshold as large blocks are
    freed: every picture buffer is then mapped, faulted in and unmapped
    again, a third more processor time on 1080p video. The thresholds glibc
    settles at by itself come back, for the worker process's life (glibc's
    allocator has no narrower scope)."""
    if "MALLOC_TRIM_THRESHOLD_" in os.environ:
        set_thresholds()


def host_dies(local: List[int]) -> List[int]:
    """The platform's numbers of this process's dies (QUILLON_VISIBLE_DIES
    mapped back; the SDK has refused a malformed value already)."""
    visible = os.environ.get(VISIBLE_DIES, "")
    return [int(die) for die in visible.split(",")] if visible else local


def worker_label(name: Any, address: str) -> str:
    return address if str(name) == address else f"{name} ({address})"


def _plugin(kind: type) -> Any:
    plugin = get_worker().plugins[kind.name]  # type: ignore[attr-defined]
    assert isinstance(plugin, kind)
    return plugin


def describe_model(model_file: ModelFile) -> Tuple[List[str], int, int, str, int]:
    """On a worker: the model's output names, input size, file name and
    classes (its first output's values), loading it on one of the worker's
    dies (where it stays for the tasks)."""
    pool: DiePool = _plugin(DiePool)
    device = pool.take()
    try:
        model = _plugin(ModelCache).model(model_file, device)
        shape = model.inputs[0].shape
        return ([output.name for output in model.outputs], shape[3], shape[2], os.path.basename(model.path),
                math.prod(model.outputs[0].shape))
    finally:
        pool.give_back(device)


def run_on_worker(job: Job) -> TaskResult:
    """On a worker: one task on one of its dies, with `device` in each
    record the die's number on the worker's host."""
    pool: DiePool = _plugin(DiePool)
    task = job.task
    if job.item.kind != "url":
        try:
            open(task.source, "rb").close()
        except OSError as error:
            raise TaskError(f"worker {pool.label} cannot read {task.source} ({error.strerror or error})") from None
    device = pool.take()
    result = TaskResult(task.number, pool.label)
    sampler = Sampler(job.total)
    started = time.monotonic()
    try:
        model = _plugin(ModelCache).model(job.model, device)
        video = _plugin(ClipCache).video(device, task.source) if task.segment is not None else None
        for record, thumbnail in run_task(task, job.item, device, model, job.classifier,
                                          lambda number: sampler.wanted(job.position + number), None, video):
            record["device"] = pool.host_dies[device]
            result.records.append(record)
            if thumbnail is not None:
                thumbnail.position += job.position
                thumbnail.input = task.input
                sampler.keep(thumbnail)
    except TaskFailed as failure:
        result.thumbnails, result.busy = sampler.kept, time.monotonic() - started
        raise TaskError(str(failure), result) from None
    finally:
        pool.give_back(device)
    result.thumbnails, result.busy = sampler.kept, time.monotonic() - started
    return result
