"""Decode a video (any container), photos or a URL on the card and save the
pictures as PNG files.

    python3 examples/decode.py clip.mp4 out/                    # out/000000.png, ...
    python3 examples/decode.py clip.mkv out/ --size 640x360 --start 10
    python3 examples/decode.py photos/ out/

With the package installed (pip), or from the clone with
PYTHONPATH=build/python:python. A source that cannot be read gets one line
on standard error and exit status 2; no picture at all, status 1.
"""
import argparse
import pathlib
import sys
from typing import List, Optional, Tuple

from PIL import Image

import quillon


def size(text: str) -> Tuple[int, int]:
    width, _, height = text.partition("x")
    if not (width.isdigit() and height.isdigit() and int(width) > 0 and int(height) > 0):
        raise argparse.ArgumentTypeError(f"a size is WIDTHxHEIGHT, such as 640x360, not {text!r}")
    return int(width), int(height)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="a video file, a JPEG file or folder, or a URL")
    parser.add_argument("out", type=pathlib.Path, help="folder for the PNG files")
    parser.add_argument("--size", type=size, help="resize on the die to WIDTHxHEIGHT")
    parser.add_argument("--start", type=float, help="start at this time, in seconds")
    parser.add_argument("--device", type=int, help="the die to decode on (default: the first)")
    args = parser.parse_args(argv)
    saved = 0
    try:
        args.out.mkdir(parents=True, exist_ok=True)
        with quillon.open(args.source, device=args.device) as video:
            print(f"{args.source}: {video.codec} {video.width}x{video.height}, {video.fps} pictures/s, "
                  f"decoded on the {video.decoder}", file=sys.stderr)
            for frame in video.frames(format="rgb24", size=args.size, start=args.start):
                Image.fromarray(frame.to_numpy()).save(args.out / f"{frame.index:06d}.png")
                saved += 1
    except (quillon.Error, OSError, ValueError) as error:
        print(f"decode.py: {args.source}: {error}", file=sys.stderr)
        return 2
    print(f"{saved} pictures saved in {args.out}", file=sys.stderr)
    return 0 if saved else 1


if __name__ == "__main__":
    sys.exit(main())
