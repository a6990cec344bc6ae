"""Tasks over the dies: one worker thread per die takes the next tasks as
soon as it is free (so a die that drew a short segment takes more), decodes
them on its die, turns each picture into the model's input there with the
fusion op and runs the die's model on it, on the worker's thread.
A die's pass over a clip goes on into the clip's next segment while no die
has taken it, so each die decodes long stretches in one stream; a die that
is free starts halfway along the stretch ahead of another's pass, so that
the dies still finish together. The pass that takes the last task decodes
on every processor from there when the other dies will be done well before
it (see `_widens`). Results come back in the tasks' display order and go to
the writer; a photo or segment that fails is listed with
its reason and the rest goes on.

The workers stop between pictures once asked (a signal, a failing disk),
so a run stops within a second with every finished picture written.
"""
from __future__ import annotations

import contextlib
import itertools
import math
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
    started: Set[int] = field(default_factory=set)     # dies that took their first tasks
    firsts: Dict[int, int] = field(default_factory=dict)  # device -> the task its first pass starts at
    reaching: Dict[int, int] = field(default_factory=dict)  # device -> the last task of its pass, while it may go on
    owed: Dict[int, int] = field(default_factory=dict)      # device -> pictures its pass has taken and not shown
    gone: Set[int] = field(default_factory=set)             # dies whose workers have ended
    widening: bool = True   # a last pass may decode on every processor (not when the user fixed the threads)
    wide: Dict[int, bool] = field(default_factory=dict)     # device -> whether its pass is to decode on every processor
    began: float = field(default_factory=time.monotonic)
    done: int = 0
    failures: List[str] = field(default_factory=list)
    error: Optional[BaseException] = None
    dies: Dict[int, DieStats] = field(default_factory=dict)
    finished: threading.Event = field(default_factory=threading.Event)

    def __post_init__(self) -> None:
        self.dies = {device: DieStats(device) for device in self.models}
        self.pending = list(range(len(self.tasks)))
        # Each die's first pass is set aside for it, the n-th die's starting
        # at the task nearest n shares of the pictures, so that every die
        # starts at once however its thread is scheduled.
        starts = [0, *itertools.accumulate(_pictures(t) for t in self.tasks)]
        share = min(FURTHEST_AHEAD, math.ceil(starts[-1] / max(1, len(self.models))))
        for n, device in enumerate(self.models):
            nearest = min(range(len(starts) - 1), key=lambda k: abs(starts[k] - n * share), default=None)
            if nearest is not None and n * share < starts[-1] and nearest not in self.firsts.values():
                self.firsts[device] = nearest

    def run(self, wait: Callable[[], None]) -> None:
        """Runs every task; `wait` is called on the caller's thread until the
        workers end (it draws the progress line and waits on `finished`)."""
        workers = [threading.Thread(target=self._work, args=(device,), name=f"quillon-die-{device}", daemon=True)
                   for device in self.models]
        running = [len(workers)]

        def one_ended() -> None:
            with self.lock:
                running[0] -= 1
                if running[0] == 0:
                    self.finished.set()

        self._ended = one_ended
        self.began = time.monotonic()
        for worker in workers:
            worker.start()
        try:
            while not self.finished.is_set():
                wait()
        finally:
            self.stop.set()
            for worker in workers:
                worker.join()

    def _take(self, device: int) -> List[Task]:
        """The first task of the next pass of a die that is free (the pass
        may grow, see `_extend`): its own first one, else the first task left
        that no die that has not started is to begin with. When a running
        pass would go on into that one, the new pass starts where the two
        would finish together (at most FURTHEST_AHEAD pictures on): half of
        the pictures left in the stretch of neighbouring segments after it,
        less what the running pass still has to show; when that stretch is
        all that is left, at the segment nearest that point which keeps the
        dies' picture counts even (see `_even`), or nowhere when only the
        running pass taking it all does."""
        with self.lock:
            if self.stop.is_set() or not self.pending:
                return []
            waiting = self._waiting(device)
            if device not in self.started:
                self.started.add(device)
                mine = self.firsts.get(device)
                if mine is not None and mine in self.pending:
                    return [self._claim(device, mine, start=True)]
            number = next((n for n in self.pending if n not in waiting), None)
            if number is None:
                return []
            running = [d for d, last in self.reaching.items() if last == number - 1 and d != device]
            if running and _follows(self.tasks[number - 1], self.tasks[number]):
                stretch = [number]
                while self._joins(stretch[-1], waiting):
                    stretch.append(stretch[-1] + 1)
                starts = [0, *itertools.accumulate(_pictures(self.tasks[n]) for n in stretch)]
                aim = min(max(0.0, (starts[-1] - self._owing(running[0])) / 2), FURTHEST_AHEAD)
                choices: Sequence[int] = range(len(stretch))
                if len(stretch) == sum(1 for n in self.pending if n not in waiting):  # all that is left
                    mine, theirs = self._count(device), self._count(running[0])
                    even = [k for k in choices if starts[k] <= FURTHEST_AHEAD
                            and _even(mine + starts[-1] - starts[k], theirs + starts[k])]
                    if not even and _even(mine, theirs + starts[-1]):
                        return []  # the running pass goes on through it all
                    choices = even or choices
                number += min(choices, key=lambda k: abs(starts[k] - aim))
            return [self._claim(device, number, start=True)]

    def _extend(self, device: int, tasks: List[Task]) -> Optional[Any]:
        """The segment a die's running pass goes on into, taken off the tasks
        left and added to `tasks`: the next segment of its clip while no
        die has it, unless leaving it to the die that will be free first
        would have the dies finish closer together; but whichever keeps
        the dies' picture counts even if the other does not (see `_even`).
        Else None, and the pass ends. (A pass asks a few dozen pictures
        before it shows the last of its own: the decoder's queue of packets
        and the pictures it holds back.)"""
        with self.lock:
            last = tasks[-1].number
            if self.stop.is_set() or not self._joins(last, self._waiting(device)):
                self.reaching.pop(device, None)
                return None
            others = [d for d in self.models if d != device and d not in self.gone]
            if others:
                segment = _pictures(self.tasks[last + 1])
                left = sum(_pictures(self.tasks[n]) for n in self.pending)
                first_free = min(others, key=self._owing)
                mine, theirs = self._owing(device), self._owing(first_free)
                take = max(mine + segment, theirs + left - segment) <= max(mine, theirs + left)
                # The counts each way, the others taking all the rest.
                taken = self._count(device) + segment, self._count(first_free) + left - segment
                left_to_them = self._count(device), self._count(first_free) + left
                if not _even(*(taken if take else left_to_them)) and _even(*(left_to_them if take else taken)):
                    take = not take
                if not take:
                    self.reaching.pop(device, None)
                    return None
            tasks.append(self._claim(device, last + 1))
            return tasks[-1].segment

    def _waiting(self, device: int) -> Set[int]:
        """The first tasks set aside for the other dies that have not started."""
        return {first for d, first in self.firsts.items() if d not in self.started and d != device}

    def _joins(self, number: int, waiting: Set[int]) -> bool:
        """Whether the task after `number` is left and the next segment of its clip."""
        following = number + 1
        return (following in self.pending and following not in waiting
                and _follows(self.tasks[number], self.tasks[following]))

    def _claim(self, device: int, number: int, start: bool = False) -> Task:
        """Gives the die task `number`, as the `start` of a pass or to go on
        with, and settles whether the pass is to widen (see `_widens`)."""
        self.pending.remove(number)
        self.reaching[device] = number
        self.owed[device] = self.owed.get(device, 0) + _pictures(self.tasks[number])
        self.wide[device] = (not start and self.wide.get(device, False)) or self._widens(device)
        return self.tasks[number]

    def _widens(self, device: int) -> bool:
        """Whether a die's pass that has taken the last task left (but the
        first tasks set aside for dies not started yet, counted as theirs) is
        to decode on every processor from here: at the paces the dies have
        kept so far, the others would have shown what they owe WIDEN_AFTER
        seconds or more before it, and leave their processors idle. Before
        the paces tell (the run's first passes), at equal paces, when the
        others owe a third of what it does or less. (With one decoder thread
        a die, the pass decodes on one processor while the other does little
        but run its model.)"""
        waiting = self._waiting(device)
        if not self.widening or len(self.models) < 2 or any(n not in waiting for n in self.pending):
            return False
        owed = {d: self._owing(d) for d in self.models}
        for d, first in self.firsts.items():
            if first in waiting:
                owed[d] += _pictures(self.tasks[first])
        others = [d for d in self.models if d != device and d not in self.gone]
        if any(self.dies[d].pictures < PACE_PICTURES for d in self.models if d not in self.gone):
            return 3 * max((owed[d] for d in others), default=0) <= owed[device]
        elapsed = time.monotonic() - self.began
        left = {d: owed[d] * elapsed / max(1, self.dies[d].pictures) for d in [device, *others]}
        return left[device] - max((left[d] for d in others), default=0.0) >= WIDEN_AFTER

    def _wide(self, device: int) -> bool:
        with self.lock:
            return self.wide.get(device, False)

    def _owing(self, device: int) -> int:
        """Pictures a die's pass has taken and not shown yet (0: no pass)."""
        return max(0, self.owed.get(device, 0))

    def _count(self, device: int) -> int:
        """Pictures a die has shown and its pass has still to show."""
        return self.dies[device].pictures + self._owing(device)

    def _work(self, device: int) -> None:
        # The segments of one clip usually follow each other: a die keeps the
        # clip open from one to the next instead of opening it for each.
        opened: Dict[str, Any] = {}
        try:
            while tasks := self._take(device):
                started = time.monotonic()
                source = tasks[0].source
                try:
                    if source not in opened:
                        for video in opened.values():
                            video.close()
                        opened.clear()
                        if tasks[0].segment is not None:
                            opened[source] = _open(source, device)
                    self._run_pass(device, tasks, opened.get(source))
                except TaskFailed as failure:  # the clip would not open
                    self._failed(tasks, 0, failure)
                    self._done(device, tasks[0])
                finally:
                    with self.lock:
                        self.reaching.pop(device, None)
                        self.owed.pop(device, None)
                self.dies[device].busy += time.monotonic() - started
        except BaseException as error:  # a failing disk, or a fault of the program: the run stops
            with self.lock:
                if self.error is None:
                    self.error = error
            self.stop.set()
        finally:
            with self.lock:
                self.gone.add(device)
            for video in opened.values():
                video.close()
            self._ended()

    def _run_pass(self, device: int, tasks: List[Task], video: Any) -> None:
        """Runs one pass, from `tasks` (its first task) on through the
        segments `_extend` adds. Each picture's record goes to the task
        whose pictures it is among, by count (the last task takes any
        beyond), and a task is done once the pass is past it, so that its
        results are written while the pass goes on."""
        task = tasks[0]
        item = self.inputs[task.input]
        position = sum(i.frame_count or 0 for i in self.inputs[:task.input]) + task.first_picture
        ends = [task.pictures or 0]
        current = count = 0

        def following() -> Any:
            segment = self._extend(device, tasks)
            if segment is not None:
                ends.append(ends[-1] + (tasks[-1].pictures or 0))
            return segment

        def past_finished() -> int:
            """The task the next picture is among, once those before are done."""
            nonlocal current
            while current < len(tasks) - 1 and count >= ends[current]:
                self._done(device, tasks[current])
                current += 1
            return current

        try:
            for record, tile in run_task(task, item, device, self.models[device], self.classifier,
                                         lambda number: self.sampler.wanted(position + number), self.stop, video,
                                         following, widen=lambda: self._wide(device)):
                self.writer.add(tasks[past_finished()].number, task.input, record)
                count += 1
                if tile is not None:
                    tile.position += position
                    self.sampler.keep(tile)
                with self.lock:
                    self.done += 1
                    self.dies[device].pictures += 1
                    self.owed[device] = self.owed.get(device, 0) - 1
        except TaskFailed as failure:
            failing = past_finished()
            self._failed(tasks, failing, failure)
            self._done(device, tasks[failing])
            return
        for rest in tasks[current:]:
            self._done(device, rest)

    def _done(self, device: int, task: Task) -> None:
        self.dies[device].tasks += 1
        if not self.stop.is_set():
            self.writer.task_done(task.number)

    def _failed(self, tasks: List[Task], failing: int, failure: TaskFailed) -> None:
        """Lists the failure of the pass's task `failing`; the tasks after it,
        which the pass did not reach, go back to be taken again."""
        with self.lock:
            self.failures.append(str(failure))
            self.pending = sorted(self.pending + [t.number for t in tasks[failing + 1:]])

# How much later than the other dies a pass that takes the last task would
# end for it to decode on every processor: frame threads cost about a fifth
# more CPU a picture, and take more than the pass's share while the others
# still decode. And the pictures the dies show before their paces tell.
WIDEN_AFTER = 0.1
PACE_PICTURES = 8

# How far on a die that is free starts ahead of a running pass, at most: the
# results of its pass wait for the other's to be written, and past a few
# hundred pictures a die's pauses between passes cost under a hundredth of
# its time.
FURTHEST_AHEAD = 480


def _even(*counts: int) -> bool:
    """Whether the dies' picture counts are within a fifth of each other. The
    end of a run keeps them so where its last segments allow, though the
    dies then finish further apart: with one decoder thread a die for the
    whole run, the system may give one die's threads more of the processors
    than the other's for all of it (a third faster in a third of the demo's
    runs), and its count would follow."""
    return min(counts) >= 0.8 * max(counts)


def _pictures(task: Task) -> int:
    return max(1, task.pictures or 1)


def _follows(task: Task, following: Task) -> bool:
    """Whether `following` is the segment right after `task`'s in its clip."""
    return (task.segment is not None and following.segment is not None and following.input == task.input
            and following.segment.part == task.segment.part
            and following.segment.first_packet == task.segment.end_packet)


THREADS_VARIABLE = "QUILLON_DECODE_THREADS"


@contextlib.contextmanager
def decoder_threads(tasks: Sequence[Task], dies: int) -> Iterator[None]:
    """With a task or more for every die, each die's decoder runs on one
    thread while the tasks run: the dies fill the processors between them,
    and libavcodec's frame threads cost about a fifth more CPU a picture.
    Left to share the processors by itself, the first die's decoder would
    start on all of them, before the other dies had theirs (on a clip of
    three segments for two dies, a fifth more CPU for a third of it); the
    run's last pass takes the processors when the others are done (see
    `Scheduler._widens`). With fewer tasks than dies (one clip of one group
    of pictures) the decoders share the processors. The host SDK reads the
    variable as channels are made; a value the user set stands."""
    if THREADS_VARIABLE in os.environ or len(tasks) < dies or dies < 2:
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
             sample: Callable[[int], bool], stop: Optional[threading.Event] = None, video: Any = None,
             following: Optional[Callable[[], Any]] = None,
             widen: Optional[Callable[[], bool]] = None) -> Iterator[Tuple[Dict[str, Any], Optional[Thumbnail]]]:
    """Decodes one task on `device`, runs `model` (on that die) on every
    picture, and yields (record, thumbnail) in display order. A record has
    `pts` (None when the input has no time stamps), `device` and the
    classifier's fields; the writer adds `file` and `picture`. `sample(n)`
    says whether the task's n-th picture gets a thumbnail (positions count
    from the task's start). `video` is the task's source already open on
    `device` (kept open), or None to open it for the task. `following`: for a
    segment, gives the segments the pass goes on into, and `widen` whether
    it decodes on every processor from there (see Video.frames).
    Raises TaskFailed
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
        if following is not None:
            options["following"] = following
        if widen is not None:
            options["widen"] = widen

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
