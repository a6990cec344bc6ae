"""Tasks over the dies: one worker thread per die takes the next task as soon
as it is free (so a die that drew a short segment takes another), decodes
it on its die, turns each picture into the model's input there with the
fusion op and runs the die's model on it, on the worker's thread.
Results come back in the task's display order and go to the writer; a
photo or segment that fails is listed with its reason and the rest goes on.

The workers stop between pictures once asked (a signal, a failing disk),
so a run stops within a second with every finished picture written.
"""
from __future__ import annotations

import contextlib
import os
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Set, Tuple

from .classify import Classifier
from .outputs import DiskError, ResultsWriter, Sampler, Thumbnail, caption, thumbnail
from .sources import Input, Task, display_name


@dataclass
class DieStats:
    device: int
    pictures: int = 0
    tasks: int = 0
    busy: float = 0.0           # seconds spent on tasks


@dataclass
class Scheduler:
    tasks: Sequence[Task]
    inputs: Sequence[Input]
    models: Dict[int, Any]          # device -> quillon.Model on it
    classifier: Classifier
    writer: ResultsWriter
    sampler: Sampler
    stop: threading.Event = field(default_factory=threading.Event)
    lock: threading.Lock = field(default_factory=threading.Lock)
    pending: List[int] = field(default_factory=list)   # numbers of the tasks not taken yet
    started: Set[int] = field(default_factory=set)     # dies that took their first task
    done: int = 0
    failures: List[str] = field(default_factory=list)
    error: Optional[BaseException] = None
    dies: Dict[int, DieStats] = field(default_factory=dict)
    finished: threading.Event = field(default_factory=threading.Event)

    def run(self, wait: Callable[[], None]) -> None:
        """Runs every task; `wait` is called on the caller's thread until the
        workers end (it draws the progress line and waits on `finished`)."""
        self.dies = {device: DieStats(device) for device in self.models}
        self.pending = list(range(len(self.tasks)))
        workers = [threading.Thread(target=self._work, args=(device,), name=f"quillon-die-{device}", daemon=True)
                   for device in self.models]
        running = [len(workers)]

        def one_ended() -> None:
            with self.lock:
                running[0] -= 1
                if running[0] == 0:
                    self.finished.set()

        self._ended = one_ended
        for worker in workers:
            worker.start()
        try:
            while not self.finished.is_set():
                wait()
        finally:
            self.stop.set()
            for worker in workers:
                worker.join()

    def _take(self, device: int) -> Optional[Task]:
        """The next task for a die that is free. Each die's first task is set
        aside for it (the n-th die, the n-th task), so that every die starts
        at once however its thread is scheduled; after that, the first task
        left goes to whichever die asks."""
        with self.lock:
            if self.stop.is_set() or not self.pending:
                return None
            order = list(self.models)
            if device not in self.started:
                self.started.add(device)
                mine = order.index(device)
                if mine < len(self.tasks) and mine in self.pending:
                    self.pending.remove(mine)
                    return self.tasks[mine]
            # Tasks set aside for dies that have not started yet are skipped.
            waiting = {order.index(d) for d in order if d not in self.started}
            number = next((n for n in self.pending if n not in waiting), None)
            if number is None:
                return None
            self.pending.remove(number)
            return self.tasks[number]

    def _work(self, device: int) -> None:
        # The segments of one clip usually follow each other: a die keeps the
        # clip open from one to the next instead of opening it for each.
        opened: Dict[str, Any] = {}
        try:
            while (task := self._take(device)) is not None:
                started = time.monotonic()
                try:
                    if task.source not in opened:
                        for video in opened.values():
                            video.close()
                        opened.clear()
                        if task.segment is not None:
                            opened[task.source] = _open(task.source, device)
                    self._run_task(device, task, opened.get(task.source))
                except TaskFailed as failure:
                    with self.lock:
                        self.failures.append(str(failure))
                stats = self.dies[device]
                stats.tasks += 1
                stats.busy += time.monotonic() - started
                if not self.stop.is_set():
                    self.writer.task_done(task.number)
        except BaseException as error:  # a failing disk, or a fault of the program: the run stops
            with self.lock:
                if self.error is None:
                    self.error = error
            self.stop.set()
        finally:
            for video in opened.values():
                video.close()
            self._ended()

    def _run_task(self, device: int, task: Task, video: Any) -> None:
        item = self.inputs[task.input]
        position = sum(i.frame_count or 0 for i in self.inputs[:task.input]) + task.first_picture
        for record, tile in run_task(task, item, device, self.models[device], self.classifier,
                                     lambda number: self.sampler.wanted(position + number), self.stop, video):
            self.writer.add(task.number, task.input, record)
            if tile is not None:
                tile.position += position
                self.sampler.keep(tile)
            with self.lock:
                self.done += 1
                self.dies[device].pictures += 1


THREADS_VARIABLE = "QUILLON_DECODE_THREADS"


@contextlib.contextmanager
def decoder_threads(tasks: Sequence[Task], dies: int) -> Iterator[None]:
    """With two segments or more for every die, each die's decoder runs on
    one thread while the tasks run: the dies fill the processors between
    them, and libavcodec's frame threads cost about a fifth more CPU a
    picture. Left to share the processors by itself, the first die's
    decoder would start on all of them, before the other dies had theirs.
    With fewer tasks (one clip of one group of pictures) the decoders share
    the processors. The host SDK reads the variable as channels are made; a
    value the user set stands."""
    if THREADS_VARIABLE in os.environ or len(tasks) < 2 * dies or dies < 2:
        yield
        return
    os.environ[THREADS_VARIABLE] = "1"
    try:
        yield
    finally:
        os.environ.pop(THREADS_VARIABLE, None)


class TaskFailed(Exception):
    """A photo or segment that could not be decoded or inferred: listed with
    its reason in the summary; the other tasks go on."""


def _open(source: str, device: int) -> Any:
    import quillon

    try:
        return quillon.open(source, device=device)
    except (quillon.Error, OSError) as error:
        raise TaskFailed(f"{source}: {_reason(error)}") from None


def run_task(task: Task, item: Input, device: int, model: Any, classifier: Classifier,
             sample: Callable[[int], bool], stop: Optional[threading.Event] = None, video: Any = None
             ) -> Iterator[Tuple[Dict[str, Any], Optional[Thumbnail]]]:
    """Decodes one task on `device`, runs `model` (on that die) on every
    picture, and yields (record, thumbnail) in display order. A record has
    `pts` (None when the input has no time stamps), `device` and the
    classifier's fields; the writer adds `file` and `picture`. `sample(n)`
    says whether the task's n-th picture gets a thumbnail (positions count
    from the task's start). `video` is the task's source already open on
    `device` (kept open), or None to open it for the task. Raises TaskFailed
    for what the input holds (a corrupt photo, a segment that fails);
    DiskError and faults of the program go through as they are."""
    import quillon

    # NV12 straight from the card's decoder is what the fusion op reads
    # best; photos and host-decoded pictures of any size come as RGB.
    even = item.width % 2 == 0 and item.height % 2 == 0 and item.width > 0
    format = "nv12" if item.kind != "photo" and item.decoder == "card" and even else "rgb24"
    # Each frame is used at once (thumbnail, then the fusion op as the model
    # is called): the decoder's own picture serves, uncopied.
    options: Dict[str, Any] = {"format": format, "device": device, "copy": False}
    if task.segment is not None:
        options["segment"] = task.segment

    pictures = 0
    try:
        with contextlib.ExitStack() as stack:
            if video is None:
                video = stack.enter_context(quillon.open(task.source, device=device))
            for frame in video.frames(**options):
                if stop is not None and stop.is_set():
                    break
                tile = Thumbnail(pictures, thumbnail(frame)) if sample(pictures) else None
                # The model runs on this thread, which lets go of the
                # interpreter meanwhile, while the die's decoder works ahead
                # on a thread of its own: with a worker per die, the
                # processors are busy without requests in flight, and each
                # picture costs no hand-over to a stream's thread and back
                # (measured: 4 to 10 % less CPU a picture than 8 in flight).
                fields = classifier.fields(model(frame))
                pictures += 1
                if tile is not None:
                    tile.caption = caption(task.source, frame.pts or 0.0, fields["label"], fields["score"])
                yield {"pts": frame.pts if item.timestamps else None, "device": device, **fields}, tile
    except (quillon.Error, OSError, ValueError) as error:
        if isinstance(error, DiskError):
            raise
        where = task.source if task.segment is None else f"{task.source} (pictures from #{task.first_picture})"
        raise TaskFailed(f"{where}: {_reason(error)}") from None
    if pictures == 0 and item.kind == "photo":
        raise TaskFailed(f"{task.source}: no picture could be decoded")


def _reason(error: BaseException) -> str:
    return str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__


def names(inputs: Sequence[Input]) -> str:
    shown = [display_name(i.name) for i in inputs[:3]]
    return ", ".join(shown) + (f" and {len(inputs) - 3} more" if len(inputs) > 3 else "")
