"""The main job in this process: a lane a die (and more where `lanes`
says), each taking tasks as it is free (see scheduling), the results
written as they come."""
from __future__ import annotations

import argparse
import math
import os
import pathlib
import time
from typing import Any, Dict, Optional, Tuple

from . import job
from .job import Signals
from .scheduling import Policy


def run(args: argparse.Namespace, signals: Signals, policy: Optional[Policy] = None) -> int:
    """The main job in this process; `policy`: how the scheduler shares the work out."""
    import quillon

    from . import demo, progress, sources
    from .allocator import keep_freed_blocks
    from .outputs import ResultsWriter, Sampler, SheetPng
    from .lanes import lanes
    from .scheduling import Scheduler

    signals.check()
    keep_freed_blocks()
    begun = job.start(args, signals)
    inputs, unread = begun.inputs, begun.unread
    devices = [device.index for device in quillon.devices()]
    builtin = args.model is None
    model_file = pathlib.Path(args.model) if args.model else demo.builtin_model(begun.cache)
    signals.check()
    # A lane's model is its own: a die with a second lane loads it again.
    models_by_lane: Dict[int, Any] = {}
    scheduler: Optional[Scheduler] = None
    bar: Optional[progress.Progress] = None
    try:
        models = job.load_models(model_file, devices)
        models_by_lane.update(enumerate(models[device] for device in devices))
        signals.check()
        first = next(iter(models.values()))
        classifier = job.classifier(args, begun.labels, [o.name for o in first.outputs],
                                    math.prod(first.outputs[0].shape), model_file, builtin)
        tasks = sources.tasks(inputs, len(devices))
        lane_dies = lanes(tasks, devices, policy=policy)
        for lane in range(len(devices), len(lane_dies)):
            models_by_lane[lane] = job.load_models(model_file, [lane_dies[lane]])[lane_dies[lane]]
        signals.check()
        total = job.total_pictures(inputs)
        writer = ResultsWriter(begun.out, inputs)
        scheduler = Scheduler(tasks, inputs, models_by_lane, classifier, writer, Sampler(total, sheet=SheetPng()),
                              dict(enumerate(lane_dies)), widening="QUILLON_DECODE_THREADS" not in os.environ,
                              policy=policy)
        bar = progress.Progress(total, devices, args.quiet)
        messages = quillon.codec_messages()
        started = time.monotonic()

        def wait() -> None:
            assert scheduler is not None and bar is not None
            with signals.raising():
                scheduler.finished.wait(bar.period)
            bar.draw(scheduler.done)

        interrupted = False
        try:
            scheduler.run(wait)
        except KeyboardInterrupt:
            interrupted = True
        elapsed = time.monotonic() - started
        bar.clear()
        bar.close()
        now = quillon.codec_messages()
        damage = (now["errors"] - messages["errors"], now["concealed"] - messages["concealed"])
        if args.every is None and args.step is None and not args.keyframes:
            # Only a sampling run leaves out pictures that others refer to.
            damage = (damage[0] + now["missing_references"] - messages["missing_references"], damage[1])
        if scheduler.error is not None:
            writer.close(flush=False)
            raise scheduler.error
        with signals.held():
            sheet_line = job.finish(begun.out, writer, scheduler.sampler, interrupted, args.annotate, inputs,
                                    devices[0])
        print(job.summary(report(scheduler, first, model_file.name, damage), inputs, elapsed, writer, sheet_line,
                          interrupted, unread))
        return job.exit_status(interrupted, writer.lines, unread)
    finally:
        if bar is not None:
            bar.close()
        with signals.held():
            for model in models_by_lane.values():
                model.close()


def report(scheduler: Any, model: Any, model_name: str, damage: Tuple[int, int]) -> job.Report:
    """The summary's lines of a run in this process: a row a die, and the damage the decoders met."""
    shape = model.inputs[0].shape
    dies = scheduler.dies()
    table = ["  die   pictures   tasks   busy (s)"]
    table += [f"  {device:<5} {stats.pictures:8d} {stats.tasks:7d} {stats.busy:10.2f}"
              for device, stats in sorted(dies.items())]
    remarks = [f"  damage in the streams: {damage[0]} decoder errors, {damage[1]} concealed "
               "(QUILLON_LOG_LEVEL=debug shows the codec's messages)"] if damage[0] else []
    return job.Report(f"{len(dies)} dies", f"{model_name} ({shape[3]}x{shape[2]} input)", scheduler.failures,
                      table=table, remarks=remarks)
