"""The command line of the main job (quillon-pipeline): its arguments, and
the run they ask for, in this process (see `single`) or on a Dask cluster
(see `cluster`); `job` has what both do, and the exit statuses.
"""
from __future__ import annotations

import argparse
import math
import pathlib
import sys
from typing import TYPE_CHECKING, Optional, Sequence

from .errors import CacheError, DiskError, UserError
from .job import MESSAGE_INTERRUPTED, Signals, folder_held, quiet_log

if TYPE_CHECKING:
    from .scheduling import Policy


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    from .demo import DEMO_PICTURES

    parser = argparse.ArgumentParser(
        prog="quillon-pipeline", description="Decode, preprocess and infer on every die of the accelerator.",
        epilog="Without inputs a demo clip of moving coloured shapes is made (once) with the card's encoder.")
    parser.add_argument("inputs", nargs="*", metavar="INPUT",
                        help="video files (MP4, MKV, AVI, MPEG-TS, ... or H.264/HEVC Annex B), JPEG files, folders "
                             "of JPEG files, http(s):// or rtsp:// URLs; live cameras (rtsp://, rtmp://, udp://, "
                             "srt://) are analysed as their pictures arrive until SIGINT or SIGTERM")
    live = parser.add_argument_group("live cameras")
    live.add_argument("--cameras", metavar="FILE.toml", help="the cameras to analyse: [[camera]] tables with name, "
                      "url and optionally options, every, model")
    live.add_argument("--max-latency", type=float, default=2.0, metavar="SECONDS",
                      help="drop a camera's picture that waited longer than this for a die (default 2.0)")
    live.add_argument("--metrics", metavar="HOST:PORT", help="serve the run's figures in Prometheus' text format "
                      "(PORT alone: on 127.0.0.1; other addresses only when given)")
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
    parser.add_argument("--every", type=float, metavar="SECONDS", help="analyse only the picture shown at every "
                        "multiple of SECONDS of each video (one a second: --every 1)")
    parser.add_argument("--step", type=int, metavar="N", help="analyse only pictures 0, N, 2N, ... of each video")
    parser.add_argument("--keyframes", action="store_true", help="analyse only the key (random-access) pictures")
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
    if args.every is not None and not (math.isfinite(args.every) and args.every > 0):
        parser.error("--every needs a positive number of seconds")
    if args.step is not None and args.step <= 0:
        parser.error("--step needs a positive number")
    return args


def main(argv: Optional[Sequence[str]] = None, policy: Optional["Policy"] = None) -> int:
    """Runs the main job with command-line arguments; returns the exit
    status. `policy`: how the scheduler shares the work out in one process
    (scheduling.Policy; its defaults when None)."""
    with Signals() as signals:
        try:
            args = parse_arguments(argv)
            signals.check()
            with folder_held(pathlib.Path(args.out)), quiet_log(args.quiet):
                status = run(args, signals, policy)
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


def run(args: argparse.Namespace, signals: Signals, policy: Optional["Policy"] = None) -> int:
    """The run the arguments ask for; its exit status."""
    from . import live

    if live.wanted(args):
        return live.run(args, signals)
    if args.scheduler or args.local_workers:
        try:
            from .cluster import run as run_on_cluster
        except ImportError as error:
            raise UserError(f"a cluster needs Dask ({error}): pip install quillon[cluster], or on Debian "
                            "apt install python3-distributed") from None
        return run_on_cluster(args, signals)
    from .single import run as run_here

    return run_here(args, signals, policy)
