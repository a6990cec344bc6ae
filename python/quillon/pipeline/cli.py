"""The command line of the main job (quillon-pipeline): arguments, signals,
the run from inputs to outputs, and the summary.

Exit status: 0 when the run ended, 1 when no picture at all came through, 2
for bad input or an output that cannot be written (one line on standard
error), 3 when the run ended without the inputs that could not be read
(each listed in the summary), 130 after SIGINT or SIGTERM (the summary of
what was done first).
"""
from __future__ import annotations

import argparse
import contextlib
import math
import os
import pathlib
import signal
import sys
import threading
import time
from types import FrameType
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

MESSAGE_INTERRUPTED = "\nquillon-pipeline: interrupted\n"
SOME_INPUTS_UNREAD = 3


def leave_now(signum: int, frame: Optional[FrameType]) -> None:
    """SIGINT or SIGTERM while nothing needs undoing (start-up, the end):
    the message and exit status 130 at once, not a traceback out of an import."""
    os.write(2, MESSAGE_INTERRUPTED.encode())
    os._exit(130)


class Interrupted(KeyboardInterrupt):
    """SIGINT or SIGTERM during the run."""


class Signals:
    """SIGINT and SIGTERM during a run. The first is recorded, never raised
    where it lands: raised in the middle of an import or of an extension
    module's initialisation, KeyboardInterrupt leaves the module half made
    (and a failed import may be taken for a missing package). The run asks
    at safe points (`check`), between the steps of its start and in its
    waits (`raising`, where the first signal raises at once); `Interrupted`
    then stops the run, whose clean-up stops the workers and releases the
    card. Later signals leave at once. Inside `held()` (outputs being put
    in place, the card being released) the first signal waits for the block
    to end."""

    def __init__(self) -> None:
        self.holding = False
        self.waiting = False       # the main thread is in a wait where raising is safe
        self.received = False
        self.pending = False       # received and not raised yet
        self.previous: List[Tuple[int, Any]] = []

    def __enter__(self) -> "Signals":
        # signal.signal works in the main thread only; a program calling
        # main() from another thread keeps its own handling.
        if threading.current_thread() is threading.main_thread():
            for number in (signal.SIGINT, signal.SIGTERM):
                self.previous.append((number, signal.signal(number, self.stop)))
        return self

    def __exit__(self, *exc: object) -> None:
        for number, handler in self.previous:
            signal.signal(number, handler)

    def stop(self, signum: int, frame: Optional[FrameType]) -> None:
        if self.received:
            leave_now(signum, frame)
        self.received = self.pending = True
        for number, _ in self.previous:
            signal.signal(number, leave_now)
        if self.waiting and not self.holding:
            self.waiting = self.pending = False
            raise Interrupted

    def check(self) -> None:
        """A safe point: Interrupted when a signal came that was not raised yet."""
        if self.pending and not self.holding:
            self.pending = False
            raise Interrupted

    @contextlib.contextmanager
    def raising(self) -> Iterator[None]:
        """A wait (on an event, a queue) that a signal may break at once."""
        self.check()
        self.waiting = True
        try:
            yield
        finally:
            self.waiting = False

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
        self.check()


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    from .demo import DEMO_PICTURES

    parser = argparse.ArgumentParser(
        prog="quillon-pipeline", description="Decode, preprocess and infer on every die of the accelerator.",
        epilog="Without inputs a demo clip of moving coloured shapes is made (once) with the card's encoder.")
    parser.add_argument("inputs", nargs="*", metavar="INPUT",
                        help="video files (MP4, MKV, AVI, MPEG-TS, ... or H.264/HEVC Annex B), JPEG files, folders "
                             "of JPEG files, http(s):// or rtsp:// URLs")
    parser.add_argument("--model", metavar="FILE.onnx", help="an ONNX model with one 1x3xHxW float input, RGB in "
                        "[0, 1] (default: the built-in dominant-colour model)")
    parser.add_argument("--labels", metavar="FILE", help="class labels of the model's first output, one a line")
    parser.add_argument("--softmax", action="store_true", help="turn the first output into probabilities")
    parser.add_argument("--top", type=int, default=1, metavar="K", help="also list the K best classes (default 1)")
    parser.add_argument("--annotate", metavar="FILE.mp4", help="write the first video input with each picture's "
                        "label and score drawn on it, encoded on the card")
    parser.add_argument("--out", default="out", metavar="FOLDER", help="output folder (default: out/)")
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    parser.add_argument("--demo-pictures", type=int, default=DEMO_PICTURES, metavar="N",
                        help=f"pictures in the demo clip (default {DEMO_PICTURES})")
    parser.add_argument("--cache", metavar="FOLDER", help="where the demo clip and the built-in model are kept "
                        "(default: $XDG_CACHE_HOME/quillon or ~/.cache/quillon)")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="tcp://HOST:PORT", help="run the tasks on the workers of a Dask "
                         "cluster, its scheduler at this address (as `dask scheduler` prints it)")
    cluster.add_argument("--local-workers", type=int, metavar="N", help="run the tasks on a Dask cluster of N worker "
                         "processes on this machine, the dies shared among them")
    args = parser.parse_args(argv)
    if args.local_workers is not None and args.local_workers <= 0:
        parser.error("--local-workers needs a positive number")
    if args.demo_pictures <= 0:
        parser.error("--demo-pictures needs a positive number")
    if args.top <= 0:
        parser.error("--top needs a positive number")
    return args


def cache_folder(args: argparse.Namespace) -> pathlib.Path:
    if args.cache:
        return pathlib.Path(args.cache)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "quillon"


def writable_folder(path: pathlib.Path) -> None:
    from .sources import UserError

    try:
        path.mkdir(parents=True, exist_ok=True)
        probe = path / ".quillon-write-test"
        probe.write_bytes(b"")
        probe.unlink()
    except OSError as error:
        raise UserError(f"{path}: the output folder cannot be written ({error.strerror})") from None


LOCK = ".quillon-pipeline.lock"
LOG_LEVEL = "QUILLON_LOG_LEVEL"


@contextlib.contextmanager
def quiet_log(quiet: bool) -> Iterator[None]:
    """With --quiet, the project's log on a terminal takes errors only while
    the run goes: the codec's warnings about a damaged stream (which the
    summary counts) are not printed. A level the user set, or a log going to
    a file, stands; the log is opened again as it was at the end."""
    if not quiet or LOG_LEVEL in os.environ or os.environ.get("QUILLON_LOG", "stderr") not in ("stderr", "stdout"):
        yield
        return
    from quillon import kycm

    os.environ[LOG_LEVEL] = "error"  # the log reads its settings from the environment only
    kycm.initLogger()
    try:
        yield
    finally:
        os.environ.pop(LOG_LEVEL, None)
        kycm.initLogger()


@contextlib.contextmanager
def folder_held(path: pathlib.Path) -> Iterator[None]:
    """The output folder to this run alone while it runs: a second run
    writing results.partial.jsonl there at once would mix its lines with
    this run's and rename the file under it. The lock (flock on a file in
    the folder) goes with the process, however it ends."""
    import fcntl

    from .sources import UserError

    try:
        path.mkdir(parents=True, exist_ok=True)
        descriptor = os.open(path / LOCK, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise UserError(f"{path}: the output folder cannot be written ({error.strerror})") from None
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(descriptor, 32, 0).decode(errors="replace").strip()
            raise UserError(f"{path}: another run is writing to this output folder"
                            f"{f' (process {holder})' if holder.isdigit() else ''}; give another --out") from None
        os.ftruncate(descriptor, 0)
        os.pwrite(descriptor, f"{os.getpid()}\n".encode(), 0)
        yield
    finally:
        os.close(descriptor)


def main(argv: Optional[Sequence[str]] = None) -> int:
    with Signals() as signals:
        from .demo import CacheError
        from .outputs import DiskError
        from .sources import UserError

        try:
            args = parse_arguments(argv)
            signals.check()
            with folder_held(pathlib.Path(args.out)), quiet_log(args.quiet):
                status = run(args, signals)
            signals.check()  # a signal after the run's last safe point: said as any other
            return status
        except UserError as error:
            for line in str(error).splitlines():  # several inputs that cannot be read: a line each
                print(f"quillon-pipeline: error: {line}", file=sys.stderr)
            return 2
        except (DiskError, CacheError) as error:
            print(f"quillon-pipeline: error: {error}", file=sys.stderr)
            return 2
        except KeyboardInterrupt:
            sys.stderr.write(MESSAGE_INTERRUPTED)
            return 130


def load_models(path: pathlib.Path, devices: Sequence[int]) -> Dict[int, Any]:
    import quillon

    from .classify import picture_input
    from .sources import UserError

    models: Dict[int, Any] = {}
    try:
        for device in devices:
            models[device] = quillon.Model(path, device=device)
            picture_input(models[device], path)
    except (quillon.Error, OSError, ValueError) as error:
        for model in models.values():
            model.close()
        if isinstance(error, FileNotFoundError):
            raise UserError(f"{path}: no such file or folder") from None
        raise UserError(f"{path}: not a model the runtime can load ({str(error).splitlines()[0]})") from None
    except UserError:
        for model in models.values():
            model.close()
        raise
    return models


def run(args: argparse.Namespace, signals: Signals) -> int:
    if args.scheduler or args.local_workers:
        try:
            from .cluster import run as run_on_cluster
        except ImportError as error:
            from .sources import UserError

            raise UserError(f"a cluster needs Dask ({error}): pip install quillon[cluster], or on Debian "
                            "apt install python3-distributed") from None
        return run_on_cluster(args, signals)
    import quillon

    from . import demo, progress, sources
    from .allocator import keep_freed_blocks
    from .classify import Classifier, class_labels, read_labels, softmax_twice
    from .outputs import ResultsWriter, Sampler, SheetPng, finish
    from .scheduling import THREADS_VARIABLE, Scheduler, decoder_threads, lanes

    from quillon import _native

    # Each step of the start is short, or asks itself: a signal meanwhile is
    # answered at the step's end (see Signals).
    signals.check()
    keep_freed_blocks()
    out = pathlib.Path(args.out)
    inputs, unread = inputs_read(args.inputs, signals)
    model_path = pathlib.Path(args.model) if args.model else None
    labels = read_labels(pathlib.Path(args.labels)) if args.labels else None
    writable_folder(out)
    cache = cache_folder(args)
    devices = [device.index for device in quillon.devices()]
    signals.check()
    if not inputs:
        def making(text: str) -> None:
            progress.message(args.quiet, text)
            signals.check()

        clip = demo.demo_clip(cache, args.demo_pictures, making)
        inputs, unread = inputs_read([str(clip)], signals)
    if args.annotate:
        from .annotate import check

        check(pathlib.Path(args.annotate), inputs)
    builtin = model_path is None
    model_file = model_path or demo.builtin_model(cache)
    signals.check()
    # A lane's model is its own: a die with a second lane loads it again.
    models_by_lane: Dict[int, Any] = {}
    scheduler: Optional[Scheduler] = None
    bar: Optional[progress.Progress] = None
    try:
        models = load_models(model_file, devices)
        models_by_lane.update(enumerate(models[device] for device in devices))
        signals.check()
        first = next(iter(models.values()))
        classes = math.prod(first.outputs[0].shape)
        classifier = Classifier([o.name for o in first.outputs],
                                class_labels(labels, args.labels and pathlib.Path(args.labels), classes,
                                             demo.CLASS_NAMES if builtin else None), args.softmax, args.top)
        warning = softmax_twice(model_file, first.outputs[0].name) if args.softmax else None
        if warning:
            print(f"quillon-pipeline: warning: {warning}", file=sys.stderr)
        tasks = sources.tasks(inputs, len(devices))
        lane_dies = lanes(tasks, devices)
        for lane in range(len(devices), len(lane_dies)):
            models_by_lane[lane] = load_models(model_file, [lane_dies[lane]])[lane_dies[lane]]
        signals.check()
        counts = [i.frame_count for i in inputs]
        total = None if None in counts else sum(c for c in counts if c is not None)
        writer = ResultsWriter(out, inputs)
        scheduler = Scheduler(tasks, inputs, models_by_lane, classifier, writer, Sampler(total, sheet=SheetPng()),
                              dict(enumerate(lane_dies)), widening=THREADS_VARIABLE not in os.environ)
        bar = progress.Progress(total, devices, args.quiet)
        messages = _native.codec_messages()
        started = time.monotonic()

        def wait() -> None:
            assert scheduler is not None
            with signals.raising():
                scheduler.finished.wait(bar.period)
            bar.draw(scheduler.done)

        interrupted = False
        try:
            with decoder_threads(tasks, len(devices)):
                scheduler.run(wait)
        except KeyboardInterrupt:
            interrupted = True
        elapsed = time.monotonic() - started
        bar.clear()
        bar.close()
        now = _native.codec_messages()
        damage = (now["errors"] - messages["errors"], now["concealed"] - messages["concealed"])
        if scheduler.error is not None:
            writer.close(flush=False)
            raise scheduler.error
        with signals.held():
            sheet_line = finish(out, writer, scheduler.sampler, interrupted, args.annotate, inputs, devices[0])
        model_name = model_file.name
        print(summary(scheduler, inputs, first, model_name, elapsed, writer, sheet_line, interrupted, damage,
                      unread))
        return exit_status(interrupted, writer.lines, unread)
    finally:
        if bar is not None:
            bar.close()
        with signals.held():
            for model in models_by_lane.values():
                model.close()


def exit_status(interrupted: bool, lines: int, unread: Sequence[str] = ()) -> int:
    """After the summary: 130 (by Interrupted) for an interrupted run, 1 when
    no picture came through, 3 when inputs were left out (unreadable, listed
    in the summary), else 0."""
    if interrupted:
        raise Interrupted
    if lines == 0:
        print("quillon-pipeline: error: no picture could be decoded", file=sys.stderr)
        return 1
    if unread:
        print(f"quillon-pipeline: {len(unread)} input{'s' if len(unread) > 1 else ''} could not be read "
              "(listed in the summary); the others' results are written", file=sys.stderr)
        return SOME_INPUTS_UNREAD
    return 0


def inputs_read(arguments: Sequence[str], signals: Signals) -> Tuple[List[Any], List[str]]:
    """The inputs that can be read and a line for each that cannot; when none
    can, the run is refused with those lines (a UserError)."""
    from .sources import UserError, readable

    inputs, unread = readable(arguments, signals.check)
    if unread and not inputs:
        raise UserError("\n".join(unread))
    return inputs, unread


def unread_lines(unread: Sequence[str]) -> List[str]:
    """The summary's lines about the inputs that could not be read."""
    return [f"  inputs not read: {len(unread)}"] + [f"    {line}" for line in unread] if unread else []


def summary(scheduler: Any, inputs: Sequence[Any], model: Any, model_name: str, elapsed: float, writer: Any, sheet_line: str,
            interrupted: bool, damage: Tuple[int, int], unread: Sequence[str] = ()) -> str:
    from .scheduling import names

    pictures = writer.lines
    rate = pictures / elapsed if elapsed > 0 else 0.0
    shape = model.inputs[0].shape
    dies = scheduler.dies()
    rows = [
        f"quillon pipeline: {pictures} pictures from {names(inputs)} on {len(dies)} dies in "
        f"{elapsed:.2f} s ({rate:.1f} pictures/s){' - interrupted' if interrupted else ''}",
        f"  model: {model_name} ({shape[3]}x{shape[2]} input)",
        "",
        "  die   pictures   tasks   busy (s)",
    ]
    for device, stats in sorted(dies.items()):
        rows.append(f"  {device:<5} {stats.pictures:8d} {stats.tasks:7d} {stats.busy:10.2f}")
    notes = list(dict.fromkeys(item.note for item in inputs if item.note))  # an input given twice: said once
    if notes:
        rows.append("")
        rows += [f"  {note}" for note in notes]
    rows.append("")
    if damage[0]:
        rows.append(f"  damage in the streams: {damage[0]} decoder errors, {damage[1]} concealed "
                    "(QUILLON_LOG_LEVEL=debug shows the codec's messages)")
    rows += unread_lines(unread)
    if writer.damaged:
        rows.append(f"  damaged (decoded with concealed damage): {len(writer.damaged)}")
        rows += [f"    {name}: {count} picture{'s' if count != 1 else ''}" for name, count in writer.damaged.items()]
    rows.append(f"  skipped (corrupt or failed): {len(scheduler.failures)}")
    rows += [f"    {failure}" for failure in scheduler.failures]
    target = writer.final if not interrupted else writer.path
    rows.append(f"  results: {target} ({writer.lines} lines)")
    rows.append(sheet_line)
    return "\n".join(rows)
