"""The main job on live cameras: a reader thread a camera, which keeps its
camera open on a die (opening it again when it drops), and a worker thread
a die, which analyses the newest pictures of its cameras and writes each
result line at once. A picture that waited longer than --max-latency when a
die could take it is dropped, not queued; a camera that fails costs only
itself. The run goes on until SIGINT or SIGTERM."""
from __future__ import annotations

import argparse
import collections
import logging
import math
import pathlib
import threading
import time
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple

from . import job
from .cameras import Camera, from_urls, is_live_url, read_file
from .errors import DiskError, UserError
from .job import Signals
from .live_outputs import LIVE, CameraFigures, HourlyLines, LiveProgress, summary

_log = logging.getLogger("quillon")
WAITING = 8  # pictures a camera may have waiting for its die, newest kept
CAMERA_TIMEOUT = 10.0  # seconds a camera may stay silent before it counts as dropped
BALANCE_PERIOD = 5.0   # seconds between looks at the dies' loads
MOVE_PAUSE = 60.0      # seconds a camera stays on the die it moved to before it may move again


def wanted(args: argparse.Namespace) -> bool:
    """Whether the arguments ask for a live run."""
    return bool(getattr(args, "cameras", None)) or any(is_live_url(name) for name in args.inputs)


def cameras_of(args: argparse.Namespace) -> List[Camera]:
    files = [name for name in args.inputs if not is_live_url(name)]
    if files:
        raise UserError(f"{files[0]}: files and live cameras run apart; give the files to a run of their own")
    if args.scheduler or args.local_workers:
        raise UserError("live cameras run in one process: leave out --scheduler and --local-workers")
    cameras = read_file(pathlib.Path(args.cameras)) if args.cameras else []
    taken = {camera.name for camera in cameras}
    for camera in from_urls(args.inputs):
        while camera.name in taken:
            camera.name += "-2"
        taken.add(camera.name)
        cameras.append(camera)
    return cameras


class Feed:
    """A camera in the run: its figures, its die, its pictures waiting for the
    die, the model it is analysed with, and its result file."""

    def __init__(self, camera: Camera, die: int, lines: HourlyLines) -> None:
        self.camera, self.die, self.lines = camera, die, lines
        self.figures = CameraFigures(camera.name)
        self.figures.die = die
        self.waiting: Deque[Any] = collections.deque()  # guarded by its die's condition
        self.video: Optional[Any] = None                # guarded by LiveRun.lock
        self.thread: Optional[threading.Thread] = None
        self.busy = 0.0               # seconds its die spent on it since the last balance; guarded by LiveRun.lock
        self.moving: Optional[int] = None  # the die it is to move to, set by the balance, taken by its reader
        self.moved = -MOVE_PAUSE      # monotonic time of its last move
        self.dropped = 0              # its drops at the last balance


class LiveRun:
    """The threads of a live run and what they share."""

    def __init__(self, feeds: List[Feed], dies: Sequence[int], models: Dict[Tuple[Optional[pathlib.Path], int], Any],
                 classifiers: Dict[Optional[pathlib.Path], Any], max_latency: float, timeout: float) -> None:
        self.feeds, self.models, self.classifiers = feeds, models, classifiers
        self.max_latency, self.timeout = max_latency, timeout
        self.stop = threading.Event()
        self.lock = threading.Lock()  # guards each feed's video and busy time, the dies' busy time, and error
        self.error: Optional[BaseException] = None
        self.busy = {die: 0.0 for die in dies}  # seconds each die spent on pictures since the last balance
        # A die's condition guards the waiting pictures of its cameras.
        self.conditions = {die: threading.Condition() for die in dies}
        self.workers = [threading.Thread(target=self._work, args=(die,), name=f"quillon-live-die-{die}")
                        for die in dies]

    def start(self) -> None:
        for worker in self.workers:
            worker.start()
        for feed in self.feeds:
            feed.thread = threading.Thread(target=self._read, args=(feed,), name=f"quillon-live-{feed.camera.name}")
            feed.thread.start()

    def close(self) -> None:
        """Stops the readers (a camera being waited for ends within its
        time-out) and the workers (each after the picture it is on), and
        closes the result files."""
        self.stop.set()
        with self.lock:
            videos = [feed.video for feed in self.feeds if feed.video is not None]
        for video in videos:
            video.close()
        for condition in self.conditions.values():
            with condition:
                condition.notify_all()
        for worker in self.workers:
            if worker.ident is not None:
                worker.join()
        for feed in self.feeds:
            if feed.thread is not None:
                feed.thread.join()
            with self.conditions[feed.die]:
                feed.waiting.clear()
            feed.lines.close()

    def refresh(self) -> None:
        """Each camera's state from its video: a camera away is seen as away
        while its reader waits for it, not only at its next picture."""
        with self.lock:
            opened = [(feed, feed.video) for feed in self.feeds if feed.video is not None]
        for feed, video in opened:
            feed.figures.now(video.state, "", video.reconnects, video.since)

    def balance(self) -> None:
        """Moves a camera off a die that dropped pictures since the last look
        to one that dropped none, when the busier of the two would then be
        less busy than the first was (so that cameras do not go back and
        forth); one camera a look, each at most once a minute."""
        with self.lock:
            busy, self.busy = self.busy, {die: 0.0 for die in self.busy}
            costs = {id(feed): feed.busy for feed in self.feeds}
            for feed in self.feeds:
                feed.busy = 0.0
        drops = {die: 0 for die in busy}
        for feed in self.feeds:
            with feed.figures.lock:
                dropped = feed.figures.dropped
            drops[feed.die] += dropped - feed.dropped
            feed.dropped = dropped
        behind = [die for die in busy if drops[die] > 0]
        room = [die for die in busy if drops[die] == 0]
        if not behind or not room:
            return
        source, target = max(behind, key=busy.__getitem__), min(room, key=busy.__getitem__)
        now = time.monotonic()
        movable = [feed for feed in self.feeds if feed.die == source and feed.moving is None
                   and now - feed.moved >= MOVE_PAUSE and busy[target] + costs[id(feed)] < busy[source]]
        if movable:
            chosen = min(movable, key=lambda feed: max(busy[source] - costs[id(feed)], busy[target] + costs[id(feed)]))
            chosen.moving = target

    def _move(self, feed: Feed) -> None:
        """The camera's waiting pictures dropped and the camera on its new die
        (both dies' conditions held, so that neither worker sees it half moved)."""
        old, new = feed.die, feed.moving
        assert new is not None
        first, second = sorted((old, new))
        with self.conditions[first], self.conditions[second]:
            waiting = len(feed.waiting)
            feed.waiting.clear()
            feed.die, feed.moving = new, None
        with feed.figures.lock:
            feed.figures.die = new
        feed.figures.drop(waiting)
        feed.moved = time.monotonic()
        _log.info("%s: moved from die %d, which fell behind, to die %d", feed.camera.name, old, new)

    def _failed(self, error: BaseException) -> None:
        with self.lock:
            self.error = self.error or error
        self.stop.set()

    def _read(self, feed: Feed) -> None:
        try:
            self._keep_reading(feed)
        except BaseException as error:  # a fault of the program: the run stops and says it
            self._failed(error)

    def _keep_reading(self, feed: Feed) -> None:
        """Keeps the camera open and hands its pictures to its die, for ever:
        a camera that cannot be reached is tried again with growing pauses."""
        import quillon
        from quillon.media.live import Backoff

        camera, figures = feed.camera, feed.figures
        backoff = Backoff()
        said = False
        while not self.stop.is_set():
            try:
                video = quillon.open(camera.url, device=feed.die, reconnect=True, timeout=self.timeout,
                                     options=camera.options or None)
            except (quillon.Error, OSError, ValueError, TypeError) as error:
                reason = _reason(error)
                figures.now("connecting", reason)
                if not said:  # said once; the attempts go on quietly
                    _log.warning("%s: cannot open the camera (%s); trying again", camera.name, reason)
                    said = True
                self.stop.wait(backoff.next())
                continue
            with self.lock:
                feed.video = video
            if self.stop.is_set():
                video.close()
                break
            said = False
            backoff.reset()
            figures.now("live", "")
            try:
                self._pass(feed, video)
            except DiskError as error:
                self._failed(error)
            except Exception as error:  # what the camera sends (garbage, a stream the card refuses): its own loss
                if not self.stop.is_set():
                    reason = _reason(error)
                    figures.now("connecting", reason)
                    _log.warning("%s: the camera failed (%s); opening it again", camera.name, reason)
            finally:
                with self.lock:
                    feed.video = None
                video.close()
            if feed.moving is not None and not self.stop.is_set():
                self._move(feed)
                continue  # opened again at once, on its new die
            self.stop.wait(backoff.next())

    def _pass(self, feed: Feed, video: Any) -> None:
        even = video.width % 2 == 0 and video.height % 2 == 0
        format = "nv12" if video.decoder == "card" and even else "rgb24"
        condition = self.conditions[feed.die]
        every = feed.camera.every
        for frame in video.frames(format=format, device=feed.die):
            if self.stop.is_set() or feed.moving is not None:
                return
            feed.figures.now(video.state, "", video.reconnects)
            if frame.index % every:
                continue
            with condition:
                feed.waiting.append(frame)
                if len(feed.waiting) > WAITING:  # the die is far behind: the oldest goes
                    feed.waiting.popleft()
                    feed.figures.drop()
                condition.notify()
            del frame

    def _next(self, die: int) -> Optional[Tuple[Feed, Any]]:
        """The die's next picture: the oldest that is recent enough, the
        older ones dropped; None once the run stops."""
        condition = self.conditions[die]
        with condition:
            while not self.stop.is_set():
                feeds = [feed for feed in self.feeds if feed.die == die]  # a camera may have moved meanwhile
                oldest = time.time() - self.max_latency
                for feed in feeds:
                    stale = 0
                    while feed.waiting and feed.waiting[0].received < oldest:
                        feed.waiting.popleft()
                        stale += 1
                    if stale:
                        feed.figures.drop(stale)
                ready = [feed for feed in feeds if feed.waiting]
                if ready:
                    feed = min(ready, key=lambda f: float(f.waiting[0].received))
                    return feed, feed.waiting.popleft()
                condition.wait(0.5)
        return None

    def _work(self, die: int) -> None:
        try:
            self._keep_working(die)
        except BaseException as error:  # a fault of the program: the run stops and says it
            self._failed(error)

    def _keep_working(self, die: int) -> None:
        while True:
            taken = self._next(die)
            if taken is None:
                return
            feed, frame = taken
            model = self.models[feed.camera.model, die]
            classifier = self.classifiers[feed.camera.model]
            began = time.perf_counter()
            try:
                fields = classifier.fields(model(frame))
            except Exception as error:
                # A picture of a camera closed meanwhile, or one the model
                # cannot take (what a camera sends): that camera's loss alone.
                if not self.stop.is_set():
                    with feed.figures.lock:
                        feed.figures.failed += 1
                        first = feed.figures.failed == 1
                    (_log.warning if first else _log.debug)("%s: picture %d not analysed (%s)", feed.camera.name,
                                                            frame.index, _reason(error))
                continue
            spent = time.perf_counter() - began
            with self.lock:
                feed.busy += spent
                self.busy[die] += spent
            received = frame.received
            now = time.time()
            record: Dict[str, Any] = {"camera": feed.camera.name, "file": feed.camera.shown, "picture": frame.index,
                                      "pts": round(frame.pts, 6), "received": round(received, 6),
                                      "latency": round(now - received, 4), "device": die, **fields}
            if frame.damaged:
                record["damaged"] = True
            del frame
            try:
                feed.lines.write(record, received)
            except DiskError as error:
                self._failed(error)
                return
            feed.figures.wrote(now - received)


def _reason(error: BaseException) -> str:
    """An error's first line, without a password."""
    from quillon.media.kinds import without_password

    text = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    lines = str(text).strip().splitlines()
    return without_password(lines[0] if lines else type(error).__name__)


def run(args: argparse.Namespace, signals: Signals) -> int:
    """The live run the arguments ask for; ends by Interrupted (exit 130)."""
    import quillon

    from . import demo
    from .classify import read_labels

    signals.check()
    cameras = cameras_of(args)
    if not cameras:
        raise UserError("no cameras: give live URLs or --cameras FILE.toml")
    if not (args.max_latency > 0 and math.isfinite(args.max_latency)):
        raise UserError("--max-latency needs a positive number of seconds")
    out = pathlib.Path(args.out)
    job.writable_folder(out)
    labels = read_labels(pathlib.Path(args.labels)) if args.labels else None
    cache = job.cache_folder(args.cache)
    builtin = args.model is None
    default_model = pathlib.Path(args.model) if args.model else demo.builtin_model(cache)
    devices = [device.index for device in quillon.devices()]
    signals.check()
    # Cameras go round the dies; every die loads every camera's model, as a
    # camera may move to any die.
    dies = [devices[number % len(devices)] for number in range(len(cameras))]
    wanted_models = {(camera.model, die) for camera in cameras for die in devices}
    models: Dict[Tuple[Optional[pathlib.Path], int], Any] = {}
    live: Optional[LiveRun] = None
    bar: Optional[LiveProgress] = None
    extra: List[Any] = []  # what serves the run's figures to others, closed with it
    try:
        for path, die in sorted(wanted_models, key=lambda key: (str(key[0]), key[1])):
            models[path, die] = job.load_models(path or default_model, [die])[die]
            signals.check()
        classifiers = {}
        for path, die in models:
            if path not in classifiers:
                first = models[path, die]
                classifiers[path] = job.classifier(args, labels, [o.name for o in first.outputs],
                                                   math.prod(first.outputs[0].shape), path or default_model,
                                                   builtin and path is None)
        feeds = [Feed(camera, die, HourlyLines(out / LIVE / camera.name)) for camera, die in zip(cameras, dies)]
        live = LiveRun(feeds, devices, models, classifiers, args.max_latency, CAMERA_TIMEOUT)
        bar = LiveProgress([feed.figures for feed in feeds], devices, args.quiet)
        if args.metrics:
            from .metrics import Metrics

            extra.append(Metrics(args.metrics, [feed.figures for feed in feeds], devices))
        started = balanced = time.monotonic()
        live.start()
        interrupted = False
        try:
            while live.error is None:
                with signals.raising():
                    live.stop.wait(min(bar.period, 0.5))
                live.refresh()
                if time.monotonic() - balanced >= BALANCE_PERIOD:
                    balanced = time.monotonic()
                    live.balance()
                bar.draw()
        except KeyboardInterrupt:
            interrupted = True
        with signals.held():
            live.close()
        if live.error is not None:
            raise live.error
        elapsed = time.monotonic() - started
        print(summary([feed.figures for feed in feeds], len(devices), default_model.name, elapsed, out,
                      interrupted))
        return job.exit_status(interrupted, sum(feed.figures.pictures for feed in feeds))
    finally:
        for item in extra:
            item.close()
        if live is not None and not live.stop.is_set():
            live.close()
        if bar is not None:
            bar.close()
        with signals.held():
            for model in models.values():
                model.close()

