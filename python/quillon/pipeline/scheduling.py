"""Tasks over the dies' lanes. A lane is one worker thread taking tasks on
one die: a die has one lane, or two where `lanes.lanes` says the tasks share out
better so. A lane takes the next tasks as soon as it is free (so a lane
that drew a short segment takes more), decodes them on its die, turns each
picture into the model's input there with the fusion op and runs its own
model on it, on its thread.
A lane's pass over a clip goes on into the clip's next segment while no
lane has taken it, so each lane decodes long stretches in one stream; a
lane that is free starts halfway along the stretch ahead of another's
pass, so that the lanes still finish together. The pass that takes the
last task decodes on every processor from there when the other lanes will
be done well before it (see `_widens`). With more lanes than dies, as many
lanes decode at once as there are dies, taking turns (see `_take_turns`).
How far each of these goes is the run's `Policy`. Results come back in the
tasks' display order and go to the writer; a photo or segment that fails
is listed with its reason and the rest goes on.

The lanes stop between pictures once asked (a signal, a failing disk), so
a run stops within a second with every finished picture written.
"""
from __future__ import annotations

import contextlib
import itertools
import math
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Set

from .classify import Classifier
from .errors import TaskFailed
from .analysis import run_task
from .outputs import ResultsWriter, Sampler
from .sources import Input, Task, open_video


@dataclass(frozen=True)
class Policy:
    """How the scheduler shares the work out: the defaults are the measured
    best on the machines the job runs on."""

    # How much later than the other lanes a pass that takes the last task
    # would end (seconds) for it to decode on every processor: frame threads
    # cost about a fifth more CPU a picture, and take more than the pass's
    # share while the others still decode. And the pictures the lanes show
    # before their paces tell.
    widen_after: float = 0.1
    pace_pictures: int = 8
    # How many pictures more a lane waiting for its turn has to show than
    # one decoding before they swap: each swap costs the resumed decoder
    # its caches.
    turn_after: int = 20
    # How far on a lane that is free starts ahead of a running pass, at most
    # (pictures): the results of its pass wait for the other's to be
    # written, and past a few hundred pictures a lane's pauses between
    # passes cost under a hundredth of its time.
    furthest_ahead: int = 480
    # How far above an even share of the pictures a lane's may be before
    # more lanes are tried (see `lanes.lanes`).
    balanced: float = 1.1


@dataclass
class Stats:
    """What a lane, or a die's lanes together, did."""

    device: int                 # the die
    pictures: int = 0
    tasks: int = 0
    busy: float = 0.0           # seconds spent on tasks


class Scheduler:
    """Runs `tasks` of `inputs` on lanes: `models` has each lane's model (on
    its die), `devices` each lane's die (by default lane n is die n).
    `widening`: whether the scheduler sets the decoders' threads (not when
    the user fixed them with QUILLON_DECODE_THREADS): one a lane while every
    die has a task, the processors between them (libavcodec's frame
    threads cost about a fifth more CPU a picture, and left to share the
    processors by itself the first die's decoder would start on all of them
    before the other dies had theirs); every processor for a last pass (see
    `_widens`). With fewer tasks than dies (one clip of one group of
    pictures) the decoders share the processors by themselves."""

    def __init__(self, tasks: Sequence[Task], inputs: Sequence[Input], models: Dict[int, Any],
                 classifier: Classifier, writer: ResultsWriter, sampler: Sampler,
                 devices: Optional[Dict[int, int]] = None, widening: bool = True,
                 policy: Optional[Policy] = None) -> None:
        # The run's settings, fixed from here on.
        self.tasks, self.inputs, self.models, self.classifier = tasks, inputs, models, classifier
        self.writer, self.sampler = writer, sampler
        self.devices = {lane: (devices or {}).get(lane, lane) for lane in models}   # lane -> its die
        self.widening = widening
        self.policy = policy or Policy()
        self.places = len(set(self.devices.values()))   # lanes that decode at once
        # Threads of a decoder that does not widen (None: the host SDK's share).
        self.threads: Optional[int] = 1 if widening and len(tasks) >= self.places >= 2 else None
        self.stop = threading.Event()       # set to end the run: the lanes stop between pictures
        self.finished = threading.Event()   # set when every lane has ended
        self.began = time.monotonic()       # when the lanes started (set by run, before they do)
        # Each lane's first pass is set aside for it, the n-th lane's starting
        # at the task nearest n shares of the pictures, so that every lane
        # starts at once however its thread is scheduled. Read only from here on.
        self.firsts: Dict[int, int] = {}    # lane -> the task its first pass starts at
        starts = [0, *itertools.accumulate(_pictures(t) for t in self.tasks)]
        share = min(self.policy.furthest_ahead, math.ceil(starts[-1] / max(1, len(self.models))))
        for n, lane in enumerate(self.models):
            nearest = min(range(len(starts) - 1), key=lambda k: abs(starts[k] - n * share), default=None)
            if nearest is not None and n * share < starts[-1] and nearest not in self.firsts.values():
                self.firsts[lane] = nearest

        # The state the lanes share. `lock` guards every field below, and
        # `lanes[lane].pictures`; `turns` is a condition on the same lock,
        # notified when `decoding` changes or the run stops. A lane's
        # `tasks` and `busy` are written by its own thread only, and read
        # once the lanes have ended (see `dies`).
        self.lock = threading.Lock()
        self.turns = threading.Condition(self.lock)
        self.pending: List[int] = list(range(len(self.tasks)))  # numbers of the tasks not taken yet
        self.started: Set[int] = set()          # lanes that took their first tasks
        self.reaching: Dict[int, int] = {}      # lane -> the last task of its pass, while it may go on
        self.owed: Dict[int, int] = {}          # lane -> pictures its pass has taken and not shown
        self.gone: Set[int] = set()             # lanes whose threads have ended
        self.wide: Dict[int, bool] = {}         # lane -> whether its pass is to decode on every processor
        self.decoding: Set[int] = set()         # lanes whose turn it is, when lanes outnumber dies
        self.queued: Set[int] = set()           # lanes with a pass that wait for their turn
        self.running = 0                        # lanes whose threads have not ended
        self.done = 0                           # pictures shown (read without the lock for the progress line)
        self.failures: List[str] = []
        self.error: Optional[BaseException] = None
        self.lanes: Dict[int, Stats] = {lane: Stats(self.devices[lane]) for lane in self.models}

    def run(self, wait: Callable[[], None]) -> None:
        """Runs every task; `wait` is called on the caller's thread until the
        workers end (it draws the progress line and waits on `finished`)."""
        workers = [threading.Thread(target=self._work, args=(lane,), name=f"quillon-lane-{lane}", daemon=True)
                   for lane in self.models]
        self.running = len(workers)
        self.began = time.monotonic()
        for worker in workers:
            worker.start()
        try:
            while not self.finished.is_set():
                wait()
        finally:
            self.halt()
            for worker in workers:
                worker.join()

    def dies(self) -> Dict[int, Stats]:
        """What each die did: its lanes' pictures and tasks added up, and the
        longest of their times (a die's lanes run side by side)."""
        dies: Dict[int, Stats] = {}
        for stats in self.lanes.values():
            die = dies.setdefault(stats.device, Stats(stats.device))
            die.pictures, die.tasks = die.pictures + stats.pictures, die.tasks + stats.tasks
            die.busy = max(die.busy, stats.busy)
        return dies

    def halt(self) -> None:
        """Asks the workers to stop, those waiting for their turn too."""
        with self.lock:
            self.stop.set()
            self.turns.notify_all()

    def take(self, lane: int) -> List[Task]:
        """The first task of the next pass of a lane that is free (the pass
        may grow, see `extend`): its own first one, else the first task left
        that no lane that has not started is to begin with. When a running
        pass would go on into that one, the new pass starts where the two
        would finish together (at most `policy.furthest_ahead` pictures on): half of
        the pictures left in the stretch of neighbouring segments after it,
        less what the running pass still has to show; when that stretch is
        all that is left, at the segment nearest that point which keeps the
        lanes' picture counts even (see `_even`), or nowhere when only the
        running pass taking it all does."""
        with self.lock:
            if self.stop.is_set() or not self.pending:
                return []
            waiting = self._waiting(lane)
            if lane not in self.started:
                self.started.add(lane)
                mine = self.firsts.get(lane)
                if mine is not None and mine in self.pending:
                    return [self._claim(lane, mine, start=True)]
            number = next((n for n in self.pending if n not in waiting), None)
            if number is None:
                return []
            running = [other for other, last in self.reaching.items() if last == number - 1 and other != lane]
            if running and _follows(self.tasks[number - 1], self.tasks[number]):
                stretch = [number]
                while self._joins(stretch[-1], waiting):
                    stretch.append(stretch[-1] + 1)
                starts = [0, *itertools.accumulate(_pictures(self.tasks[n]) for n in stretch)]
                aim = min(max(0.0, (starts[-1] - self.owing(running[0])) / 2), self.policy.furthest_ahead)
                choices: Sequence[int] = range(len(stretch))
                if len(stretch) == sum(1 for n in self.pending if n not in waiting):  # all that is left
                    mine, theirs = self._count(lane), self._count(running[0])
                    even = [k for k in choices if starts[k] <= self.policy.furthest_ahead
                            and _even(mine + starts[-1] - starts[k], theirs + starts[k])]
                    if not even and _even(mine, theirs + starts[-1]):
                        return []  # the running pass goes on through it all
                    choices = even or choices
                number += min(choices, key=lambda k: abs(starts[k] - aim))
            return [self._claim(lane, number, start=True)]

    def extend(self, lane: int, tasks: List[Task]) -> Optional[Any]:
        """The segment a lane's running pass goes on into, taken off the tasks
        left and added to `tasks`: the next segment of its clip while no
        lane has it, unless leaving it to the lane that will be free first
        would have the lanes finish closer together; but whichever keeps
        the lanes' picture counts even if the other does not (see `_even`).
        Else None, and the pass ends. (A pass asks a few dozen pictures
        before it shows the last of its own: the decoder's queue of packets
        and the pictures it holds back.)"""
        with self.lock:
            last = tasks[-1].number
            if self.stop.is_set() or not self._joins(last, self._waiting(lane)):
                self.reaching.pop(lane, None)
                return None
            others = [other for other in self.models if other != lane and other not in self.gone]
            if others:
                segment = _pictures(self.tasks[last + 1])
                left = sum(_pictures(self.tasks[n]) for n in self.pending)
                first_free = min(others, key=self.owing)
                mine, theirs = self.owing(lane), self.owing(first_free)
                take = max(mine + segment, theirs + left - segment) <= max(mine, theirs + left)
                # The counts each way, the others taking all the rest.
                taken = self._count(lane) + segment, self._count(first_free) + left - segment
                left_to_them = self._count(lane), self._count(first_free) + left
                if not _even(*(taken if take else left_to_them)) and _even(*(left_to_them if take else taken)):
                    take = not take
                if not take:
                    self.reaching.pop(lane, None)
                    return None
            tasks.append(self._claim(lane, last + 1))
            return tasks[-1].segment

    def _waiting(self, lane: int) -> Set[int]:
        """The first tasks set aside for the other lanes that have not started."""
        return {first for other, first in self.firsts.items() if other not in self.started and other != lane}

    def _joins(self, number: int, waiting: Set[int]) -> bool:
        """Whether the task after `number` is left and the next segment of its clip."""
        following = number + 1
        return (following in self.pending and following not in waiting
                and _follows(self.tasks[number], self.tasks[following]))

    def _claim(self, lane: int, number: int, start: bool = False) -> Task:
        """Gives the lane task `number`, as the `start` of a pass or to go on
        with, and settles whether the pass is to widen (see `_widens`)."""
        self.pending.remove(number)
        self.reaching[lane] = number
        self.owed[lane] = self.owed.get(lane, 0) + _pictures(self.tasks[number])
        self.wide[lane] = (not start and self.wide.get(lane, False)) or self._widens(lane)
        return self.tasks[number]

    def _widens(self, lane: int) -> bool:
        """Whether a lane's pass that has taken the last task left (but the
        first tasks set aside for lanes not started yet, counted as theirs) is
        to decode on every processor from here: at the paces the lanes have
        kept so far, the others would have shown what they owe `policy.widen_after`
        seconds or more before it, and leave their processors idle. Before
        the paces tell (the run's first passes), at equal paces, when the
        others owe a third of what it does or less. (With one decoder thread
        a die, the pass decodes on one processor while the other does little
        but run its model.)"""
        waiting = self._waiting(lane)
        if (not self.widening or len(self.models) < 2 or len(self.models) > self.places
                or any(n not in waiting for n in self.pending)):
            return False
        owed = {other: self.owing(other) for other in self.models}
        for other, first in self.firsts.items():
            if first in waiting:
                owed[other] += _pictures(self.tasks[first])
        others = [other for other in self.models if other != lane and other not in self.gone]
        if any(self.lanes[other].pictures < self.policy.pace_pictures
               for other in self.models if other not in self.gone):
            return 3 * max((owed[other] for other in others), default=0) <= owed[lane]
        elapsed = time.monotonic() - self.began
        left = {other: owed[other] * elapsed / max(1, self.lanes[other].pictures) for other in [lane, *others]}
        return left[lane] - max((left[other] for other in others), default=0.0) >= self.policy.widen_after

    def shown(self, lane: int, pictures: int = 1) -> None:
        """Counts `pictures` more shown by a lane's pass; the lane hands its
        turn over meanwhile when its pass has less left to show than a
        waiting one (see `_take_turns`)."""
        with self.lock:
            self.done += pictures
            self.lanes[lane].pictures += pictures
            self.owed[lane] = self.owed.get(lane, 0) - pictures
            self._take_turns(lane)

    def pass_ended(self, lane: int) -> None:
        """A lane's pass has ended: it owes nothing and goes on into nothing."""
        with self.lock:
            self.reaching.pop(lane, None)
            self.owed.pop(lane, None)

    def _wide(self, lane: int) -> bool:
        with self.lock:
            return self.wide.get(lane, False)

    def owing(self, lane: int) -> int:
        """Pictures a lane's pass has taken and not shown yet (0: no pass)."""
        return max(0, self.owed.get(lane, 0))

    def _count(self, lane: int) -> int:
        """Pictures a lane has shown and its pass has still to show."""
        return self.lanes[lane].pictures + self.owing(lane)

    def _work(self, lane: int) -> None:
        # The segments of one clip usually follow each other: a lane keeps the
        # clip open from one to the next instead of opening it for each.
        opened: Dict[str, Any] = {}
        try:
            while tasks := self.take(lane):
                started = time.monotonic()
                source = tasks[0].source
                try:
                    if source not in opened:
                        while opened:
                            opened.popitem()[1].close()
                        if tasks[0].segment is not None:
                            opened[source] = open_video(source, self.devices[lane])
                    self._run_pass(lane, tasks, opened.get(source))
                except TaskFailed as failure:  # the clip would not open
                    self._failed(tasks, 0, failure)
                    self._done(lane, tasks[0])
                finally:
                    self.pass_ended(lane)
                self.lanes[lane].busy += time.monotonic() - started
            while opened:
                opened.popitem()[1].close()
        except BaseException as error:  # a failing disk, or a fault of the program: the run stops
            with self.lock:
                if self.error is None:
                    self.error = error
            self.halt()
        finally:
            with self.lock:
                self.gone.add(lane)
            for video in opened.values():  # after a failure, which the run reports
                with contextlib.suppress(Exception):
                    video.close()
            with self.lock:  # whatever happened, or the run would wait for this lane for ever
                self.running -= 1
                if self.running == 0:
                    self.finished.set()

    def _run_pass(self, lane: int, tasks: List[Task], video: Any) -> None:
        """Runs one pass, from `tasks` (its first task) on through the
        segments `extend` adds. Each picture's record goes to the task
        whose pictures it is among, by count (the last task takes any
        beyond), and a task is done once the pass is past it, so that its
        results are written while the pass goes on."""
        task = tasks[0]
        item = self.inputs[task.input]
        position = sum(i.frame_count or 0 for i in self.inputs[:task.input]) + task.first_picture
        ends = [task.pictures or 0]
        current = count = 0

        def following() -> Any:
            segment = self.extend(lane, tasks)
            if segment is not None:
                ends.append(ends[-1] + (tasks[-1].pictures or 0))
            return segment

        def past_finished() -> int:
            """The task the next picture is among, once those before are done."""
            nonlocal current
            while current < len(tasks) - 1 and count >= ends[current]:
                self._done(lane, tasks[current])
                current += 1
            return current

        self._queue(lane)
        try:
            for record, tile in run_task(task, item, self.devices[lane], self.models[lane], self.classifier,
                                         lambda number: self.sampler.wanted(position + number), self.stop, video,
                                         following, widen=lambda: self._wide(lane), threads=self.threads):
                self.writer.add(tasks[past_finished()].number, task.input, record)
                count += 1
                if tile is not None:
                    tile.position += position
                    tile.input = task.input
                    self.sampler.keep(tile)
                self.shown(lane)
        except TaskFailed as failure:
            failing = past_finished()
            self._failed(tasks, failing, failure)
            self._done(lane, tasks[failing])
            return
        finally:
            with self.lock:
                self.decoding.discard(lane)
                self.queued.discard(lane)
                self._give_turns()
        for rest in tasks[current:]:
            self._done(lane, rest)

    def _queue(self, lane: int) -> None:
        """Waits, when the lanes outnumber the dies, until a lane that starts
        a pass has its turn (see `_take_turns`)."""
        with self.lock:
            self._wait_turn(lane)

    def _take_turns(self, lane: int) -> None:
        """Called as a lane's pass shows a picture, under the lock. When the
        lanes outnumber the dies, as many decode at once as there are dies,
        those with the most pictures left to show: the lanes all end
        together, each decoding on a processor of its own meanwhile, which
        costs less than more decoders than processors (the system switching
        them a few milliseconds apart, each time with the other's pictures
        out of the caches: 5 % more CPU a picture with three for two) or
        frame threads. A lane hands over its turn once a waiting one has
        `policy.turn_after` pictures more to show, and waits for the next."""
        if not self.queued:
            return
        waiting = max(self.queued, key=self.owing)
        if self.owing(waiting) > self.owing(lane) + self.policy.turn_after:
            self.decoding.discard(lane)
            self._wait_turn(lane)

    def _wait_turn(self, lane: int) -> None:
        """Queues a lane and waits, under the lock, until it has a turn or the run stops."""
        self.queued.add(lane)
        self._give_turns()
        while lane not in self.decoding and not self.stop.is_set():
            self.turns.wait()

    def _give_turns(self) -> None:
        """Gives the free turns to the waiting lanes with most to show."""
        if not self.queued or len(self.decoding) >= self.places:
            return
        while self.queued and len(self.decoding) < self.places:
            chosen = max(self.queued, key=self.owing)
            self.queued.discard(chosen)
            self.decoding.add(chosen)
        self.turns.notify_all()

    def _done(self, lane: int, task: Task) -> None:
        self.lanes[lane].tasks += 1
        if not self.stop.is_set():
            self.writer.task_done(task.number)

    def _failed(self, tasks: List[Task], failing: int, failure: TaskFailed) -> None:
        """Lists the failure of the pass's task `failing`; the tasks after it,
        which the pass did not reach, go back to be taken again."""
        with self.lock:
            self.failures.append(str(failure))
            self.pending = sorted(self.pending + [t.number for t in tasks[failing + 1:]])

def _even(*counts: int) -> bool:
    """Whether the lanes' picture counts are within a fifth of each other. The
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
