"""The command line of the main job (quillon-pipeline): arguments, signals,
the run from inputs to outputs, and the summary.

Exit status: 0 when the run ended, 1 when no picture at all came through, 2
for bad input or an output that cannot be written (one line on standard
error), 130 after SIGINT or SIGTERM (the summary of what was done first).
"""
from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import signal
import sys
import threading
import time
from types import FrameType
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

MESSAGE_INTERRUPTED = "\nquillon-pipeline: interrupted\n"


def leave_now(signum: int, frame: Optional[FrameType]) -> None:
    """SIGINT or SIGTERM while nothing needs undoing (start-up, the end):
    the message and exit status 130 at once, not a traceback out of an import."""
    os.write(2, MESSAGE_INTERRUPTED.encode())
    os._exit(130)


class Interrupted(KeyboardInterrupt):
    """SIGINT or SIGTERM during the run."""


class Signals:
    """SIGINT and SIGTERM during a run: the first stops the run by raising
    Interrupted in the main thread (the run's clean-up then stops the
    workers and releases the card), later ones leave at once. Inside
    `held()` (outputs being put in place, the card being released) the first
    signal waits for the block to end; a second one does not."""

    def __init__(self) -> None:
        self.holding = False
        self.pending = False
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
        if self.holding and not self.pending:
            self.pending = True
            return
        for number, _ in self.previous:
            signal.signal(number, leave_now)
        if self.holding:
            leave_now(signum, frame)
        raise Interrupted

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
        if self.pending:
            self.pending = False
            self.stop(signal.SIGINT, None)


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


def main(argv: Optional[Sequence[str]] = None) -> int:
    from .demo import CacheError
    from .outputs import DiskError
    from .sources import UserError

    args = parse_arguments(argv)
    with Signals() as signals:
        try:
            return run(args, signals)
        except UserError as error:
            print(f"quillon-pipeline: error: {error}", file=sys.stderr)
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
    from .classify import Classifier, read_labels
    from .outputs import ResultsWriter, Sampler, SheetPng, finish
    from .scheduling import THREADS_VARIABLE, Scheduler, decoder_threads, lanes

    keep_freed_blocks()
    out = pathlib.Path(args.out)
    inputs = sources.collect(args.inputs)
    model_path = pathlib.Path(args.model) if args.model else None
    labels = read_labels(pathlib.Path(args.labels)) if args.labels else None
    writable_folder(out)
    cache = cache_folder(args)
    devices = [device.index for device in quillon.devices()]
    if not inputs:
        clip = demo.demo_clip(cache, args.demo_pictures, lambda text: progress.message(args.quiet, text))
        inputs = sources.collect([str(clip)])
    for item in inputs:
        sources.probe(item)
    builtin = model_path is None
    model_file = model_path or demo.builtin_model(cache)
    models = load_models(model_file, devices)
    # A lane's model is its own: a die with a second lane loads it again.
    models_by_lane = dict(enumerate(models[device] for device in devices))
    scheduler: Optional[Scheduler] = None
    try:
        first = next(iter(models.values()))
        classifier = Classifier([o.name for o in first.outputs], demo.CLASS_NAMES if builtin else labels,
                                args.softmax, args.top)
        tasks = sources.tasks(inputs, len(devices))
        lane_dies = lanes(tasks, devices)
        for lane in range(len(devices), len(lane_dies)):
            models_by_lane[lane] = load_models(model_file, [lane_dies[lane]])[lane_dies[lane]]
        counts = [i.frame_count for i in inputs]
        total = None if None in counts else sum(c for c in counts if c is not None)
        writer = ResultsWriter(out, inputs)
        scheduler = Scheduler(tasks, inputs, models_by_lane, classifier, writer, Sampler(total, sheet=SheetPng()),
                              dict(enumerate(lane_dies)), widening=THREADS_VARIABLE not in os.environ)
        bar = progress.Progress(total, devices, args.quiet)
        from quillon import _native

        messages = _native.codec_messages()
        started = time.monotonic()

        def wait() -> None:
            assert scheduler is not None
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
        now = _native.codec_messages()
        damage = (now["errors"] - messages["errors"], now["concealed"] - messages["concealed"])
        if scheduler.error is not None:
            writer.close(flush=False)
            raise scheduler.error
        with signals.held():
            sheet_line = finish(out, writer, scheduler.sampler, interrupted, args.annotate, inputs, devices[0])
        model_name = model_file.name
        print(summary(scheduler, inputs, first, model_name, elapsed, writer, sheet_line, interrupted, damage))
        return exit_status(interrupted, writer.lines)
    finally:
        with signals.held():
            for model in models_by_lane.values():
                model.close()


def exit_status(interrupted: bool, lines: int) -> int:
    """After the summary: 130 (by Interrupted) for an interrupted run, 1 when
    no picture came through, else 0."""
    if interrupted:
        raise Interrupted
    if lines == 0:
        print("quillon-pipeline: error: no picture could be decoded", file=sys.stderr)
        return 1
    return 0


def summary(scheduler: Any, inputs: Sequence[Any], model: Any, model_name: str, elapsed: float, writer: Any, sheet_line: str,
            interrupted: bool, damage: Tuple[int, int]) -> str:
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
    notes = [item.note for item in inputs if item.note]
    if notes:
        rows.append("")
        rows += [f"  {note}" for note in notes]
    rows.append("")
    if damage[0]:
        rows.append(f"  damage in the streams: {damage[0]} decoder errors, {damage[1]} concealed "
                    "(QUILLON_LOG_LEVEL=debug shows the codec's messages)")
    if writer.damaged:
        rows.append(f"  damaged (decoded with concealed damage): {len(writer.damaged)}")
        rows += [f"    {name}: {count} picture{'s' if count != 1 else ''}" for name, count in writer.damaged.items()]
    rows.append(f"  skipped (corrupt or failed): {len(scheduler.failures)}")
    rows += [f"    {failure}" for failure in scheduler.failures]
    target = writer.final if not interrupted else writer.path
    rows.append(f"  results: {target} ({writer.lines} lines)")
    rows.append(sheet_line)
    return "\n".join(rows)
