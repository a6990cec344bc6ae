"""quillon-pipeline: the main job from the command line.

    python3 -m quillon.pipeline [INPUT ...] [--model FILE.onnx] [--out FOLDER]

Run as a file (python3 .../quillon/pipeline/__main__.py, as scripts/run.sh
does), SIGINT and SIGTERM are answered from the first line on: the handler
goes in before the imports, which take a while. Run by module or command
name, the package sets the same handler as it starts loading (see
quillon._interrupts).
"""
import os
import sys

import _signal  # the interpreter's own module, already loaded: no import before the handlers


def _leave(signum: int, frame: object) -> None:
    os.write(2, b"\nquillon-pipeline: interrupted\n")
    os._exit(130)


if __name__ == "__main__" and not __package__:
    _signal.signal(_signal.SIGINT, _leave)
    _signal.signal(_signal.SIGTERM, _leave)
    # Run by file name: the package comes from the path, not from this folder.
    _here = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p) != _here]


def main() -> int:
    from quillon.pipeline.cli import main as run

    status = run()
    # The run has ended and said so. The interpreter, as it ends, puts the
    # default action back for SIGINT, which would kill the process with the
    # work done; ignored, it stays ignored.
    _signal.signal(_signal.SIGINT, _signal.SIG_IGN)
    return status


if __name__ == "__main__":
    sys.exit(main())
