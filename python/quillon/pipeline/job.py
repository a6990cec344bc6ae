"""What every run of the main job does, in one process or on a cluster: its
start (signals, the output folder, the inputs, the labels, the demo clip,
the models), its totals, its end (the outputs put in place), the summary
and the exit status.

Exit status: 0 when the run ended, 1 when no picture at all came through, 2
for bad input or an output that cannot be written (one line on standard
error), 3 when the run ended without the inputs that could not be read
(each listed in the summary), 130 after SIGINT or SIGTERM (the summary of
what was done first).
"""
from __future__ import annotations

import argparse
import collections
import contextlib
import os
import pathlib
import signal
import sys
import threading
from dataclasses import dataclass, field
from types import FrameType
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from .errors import Interrupted, UserError

MESSAGE_INTERRUPTED = "\nquillon-pipeline: interrupted\n"
SOME_INPUTS_UNREAD = 3
LOCK = ".quillon-pipeline.lock"
LOG_LEVEL = "QUILLON_LOG_LEVEL"


def leave_now(signum: int, frame: Optional[FrameType]) -> None:
    """SIGINT or SIGTERM while nothing needs undoing (start-up, the end):
    the message and exit status 130 at once, not a traceback out of an import."""
    os.write(2, MESSAGE_INTERRUPTED.encode())
    os._exit(130)


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


def cache_folder(cache: Optional[str]) -> pathlib.Path:
    """Where the demo clip and the built-in model are kept: `cache` (--cache), else the user's cache folder."""
    if cache:
        return pathlib.Path(cache)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "quillon"


def writable_folder(path: pathlib.Path) -> None:
    try:
        path.mkdir(parents=True, exist_ok=True)
        probe = path / ".quillon-write-test"
        probe.write_bytes(b"")
        probe.unlink()
    except OSError as error:
        raise UserError(f"{path}: the output folder cannot be written ({error.strerror})") from None


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

    try:
        os.environ[LOG_LEVEL] = "error"  # the log reads its settings from the environment only
        kycm.initLogger()
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


def load_models(path: pathlib.Path, devices: Sequence[int]) -> Dict[int, Any]:
    """The model at `path` loaded on each of `devices`; UserError naming the
    file when it is missing or not a model the runtime loads."""
    import quillon

    from .classify import picture_input

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


def inputs_read(arguments: Sequence[str], signals: Signals) -> Tuple[List[Any], List[str]]:
    """The inputs that can be read and a line for each that cannot; when none
    can, the run is refused with those lines (a UserError)."""
    from .sources import readable

    inputs, unread = readable(arguments, signals.check)
    if unread and not inputs:
        raise UserError("\n".join(unread))
    return inputs, unread


@dataclass
class Start:
    """What a run has once it has started: its inputs (the demo clip when
    none were given), a line for each input that could not be read, the
    labels read from --labels, the output and cache folders."""

    out: pathlib.Path
    cache: pathlib.Path
    inputs: List[Any]
    unread: List[str]
    labels: Optional[List[str]]


def start(args: argparse.Namespace, signals: Signals) -> Start:
    """The run's start, alike in one process and on a cluster: inputs,
    labels, the output folder, the demo clip when no input was given, and
    what --annotate needs. Each step is short, or asks itself: a signal
    meanwhile is answered at the step's end (see Signals)."""
    from . import demo, progress
    from .classify import read_labels

    signals.check()
    out = pathlib.Path(args.out)
    inputs, unread = inputs_read(args.inputs, signals)
    labels = read_labels(pathlib.Path(args.labels)) if args.labels else None
    writable_folder(out)
    cache = cache_folder(args.cache)
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
    sampled(inputs, args, signals)
    return Start(out, cache, inputs, unread, labels)


def sampled(inputs: Sequence[Any], args: argparse.Namespace, signals: Signals) -> None:
    """Gives each input the sampling the command line asks for, and the
    numbers of the pictures it analyses where a video file's packet index
    tells them before decoding (read once for the run: the tasks' passes
    find it kept)."""
    import quillon

    from . import sampling

    chosen = sampling.of(args)
    for item in inputs:
        item.sampling = chosen
        if chosen is not None and item.kind == "video":
            signals.check()
            try:
                with quillon.open(item.name) as video:
                    item.wanted = tuple(video.sampled_numbers(step=chosen.step, every=chosen.every,
                                                              keyframes_only=chosen.keyframes))
            except (quillon.Error, OSError, TypeError):
                item.wanted = None  # a file that cannot be read whole, or times known only by decoding


def total_pictures(inputs: Sequence[Any]) -> Optional[int]:
    """The run's pictures (those sampled, when the run samples), or None when
    an input's count is unknown (an Annex B stream, a URL)."""
    counts = [item.frame_count if item.sampling is None or item.kind == "photo"
              else len(item.wanted) if item.wanted is not None
              else item.sampling.expected(item.frame_count, item.fps)
              for item in inputs]
    return None if None in counts else sum(c for c in counts if c is not None)


def classifier(args: argparse.Namespace, labels: Optional[List[str]], output_names: Sequence[str], classes: int,
               model_file: pathlib.Path, builtin: bool) -> Any:
    """The run's classifier of the model's outputs, with the warning for
    --softmax on a model whose first output already is probabilities."""
    from . import demo
    from .classify import Classifier, class_labels, softmax_twice

    made = Classifier(list(output_names), class_labels(labels, args.labels and pathlib.Path(args.labels), classes,
                                                        demo.CLASS_NAMES if builtin else None), args.softmax, args.top)
    warning = softmax_twice(model_file, output_names[0]) if args.softmax else None
    if warning:
        print(f"quillon-pipeline: warning: {warning}", file=sys.stderr)
    return made


def finish(out: pathlib.Path, writer: Any, sampler: Any, interrupted: bool,
           annotate: Optional[str], inputs: Sequence[Any], device: int) -> str:
    """Puts the run's outputs in place (both complete before either replaces
    the previous run's), or keeps the partial results of an interrupted run;
    returns the summary's lines about them."""
    from .outputs import SHEET, write_sheet

    if interrupted:
        writer.close()
        return "  contact sheet: not written (interrupted)"
    sheet, count = write_sheet(out, sampler.chosen(), sampler.sheet)
    results = writer.commit()
    os.replace(sheet, out / SHEET)
    lines = f"  contact sheet: {out / SHEET} ({count} pictures)"
    if annotate:
        from .annotate import annotate as annotated

        written = annotated(pathlib.Path(annotate), results, inputs, device)
        lines += f"\n  annotated video: {annotate} ({written} pictures)"
    return lines


@dataclass
class Report:
    """What the summary says of a run, besides its results: where it ran
    (`where`, after "on"), the model, lines about the run's place (a
    cluster's address), the table of its dies or workers, remarks (damage
    in the streams, workers lost) and the failed tasks; `grouped` says a
    failure repeated by several tasks once, with their number."""

    where: str
    model: str
    failures: Sequence[str]
    place: List[str] = field(default_factory=list)
    table: List[str] = field(default_factory=list)
    remarks: List[str] = field(default_factory=list)
    grouped: bool = False
    trailer: List[str] = field(default_factory=list)


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def summary(report: Report, inputs: Sequence[Any], elapsed: float, writer: Any, sheet_line: str, interrupted: bool,
            unread: Sequence[str] = ()) -> str:
    """The run's summary: pictures and pace, the model, the table, notes on
    the inputs, damage, what could not be read or failed, the outputs."""
    from .sources import names

    pictures = writer.lines
    rate = pictures / elapsed if elapsed > 0 else 0.0
    rows = [
        f"quillon pipeline: {pictures} pictures from {names(inputs)} on {report.where} in "
        f"{elapsed:.2f} s ({rate:.1f} pictures/s){' - interrupted' if interrupted else ''}",
        f"  model: {report.model}",
        *report.place,
        "",
        *report.table,
    ]
    notes = list(dict.fromkeys(item.note for item in inputs if item.note))  # an input given twice: said once
    if notes:
        rows.append("")
        rows += [f"  {note}" for note in notes]
    rows.append("")
    rows += report.remarks
    if unread:
        rows.append(f"  inputs not read: {len(unread)}")
        rows += [f"    {line}" for line in unread]
    if writer.damaged:
        rows.append(f"  damaged (decoded with concealed damage): {len(writer.damaged)}")
        rows += [f"    {name}: {count} picture{'s' if count != 1 else ''}" for name, count in writer.damaged.items()]
    rows.append(f"  skipped (corrupt or failed): {len(report.failures)}")
    if report.grouped:
        repeats = collections.Counter(report.failures)
        rows += [f"    {failure}" + (f" ({repeats[failure]} tasks)" if repeats[failure] > 1 else "")
                 for failure in repeats]
    else:
        rows += [f"    {failure}" for failure in report.failures]
    rows.append(f"  results: {writer.final if not interrupted else writer.path} ({pictures} lines)")
    rows.append(sheet_line)
    rows += report.trailer
    return "\n".join(rows)


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
