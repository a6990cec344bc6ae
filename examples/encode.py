"""Encode a raw YUV file to MP4, Matroska, an H.264 or HEVC stream, or JPEG
files, on the card's encoder.

    python3 examples/encode.py clip.yuv 1920 1080 clip.mp4
    python3 examples/encode.py clip.yuv 1920 1080 clip.mkv --codec hevc --format nv12 --bitrate 4000000
    python3 examples/encode.py clip.yuv 1920 1080 clip.h264 --quality 18
    python3 examples/encode.py clip.yuv 640 480 out/ --codec jpeg   # out/000000.jpg, ...

The container follows the output's extension (.mp4, .mkv, .h264/.264,
.hevc/.265, .jpg with a %d pattern); a folder gets one JPEG file per picture.
Progress goes to standard error; bad input gets one line there and exit
status 2.
"""
import argparse
import os
import sys
from fractions import Fraction
from typing import BinaryIO, Iterator, NoReturn

import numpy as np
import numpy.typing as npt

import quillon
from quillon import Error

FORMATS = ("yuv420p", "nv12", "nv21")


def pictures(source: BinaryIO, width: int, height: int, layout: str) -> Iterator[npt.NDArray[np.uint8]]:
    """The file's pictures as NV12 arrays, (height * 3 / 2) x width."""
    luma, chroma = width * height, width * height // 4
    while len(data := source.read(luma + 2 * chroma)) == luma + 2 * chroma:
        raw = np.frombuffer(data, np.uint8)
        picture = np.empty((height * 3 // 2, width), np.uint8)
        picture[:height] = raw[:luma].reshape(height, width)
        uv = picture[height:].reshape(height // 2, width // 2, 2)
        if layout == "yuv420p":
            uv[..., 0] = raw[luma:luma + chroma].reshape(height // 2, width // 2)
            uv[..., 1] = raw[luma + chroma:].reshape(height // 2, width // 2)
        else:
            uv[...] = raw[luma:].reshape(height // 2, width // 2, 2)
            if layout == "nv21":
                uv[...] = uv[..., ::-1].copy()
        yield picture


def progress(done: int, total: int, width: int = 40) -> None:
    filled = width * done // max(total, 1)
    print(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} pictures", end="", file=sys.stderr, flush=True)


def output_path(output: str, codec: str | None) -> str:
    """A folder (or --codec jpeg without an extension) means numbered JPEG files in it."""
    if os.path.isdir(output) or (codec == "jpeg" and not os.path.splitext(output)[1]):
        os.makedirs(output, exist_ok=True)
        return os.path.join(output, "%06d.jpg")
    return output


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("input", help="raw 4:2:0 pictures, one after another")
    parser.add_argument("width", type=int)
    parser.add_argument("height", type=int)
    parser.add_argument("output", help="file (.mp4, .mkv, .h264, .hevc, %%d.jpg), or a folder for JPEG files")
    parser.add_argument("--format", choices=FORMATS, default="yuv420p", help="layout of the input pictures")
    parser.add_argument("--codec", choices=("h264", "hevc", "jpeg"), help="default: what the extension implies")
    parser.add_argument("--fps", type=Fraction, default=Fraction(25), help="pictures per second, such as 30000/1001")
    parser.add_argument("--bitrate", type=int, help="average bits per second (default: constant quality)")
    parser.add_argument("--quality", type=int, help="constant quality, 1 (best) to 51 (default 23)")
    parser.add_argument("--device", type=int, default=0, help="the die that encodes")
    args = parser.parse_args()

    def fail(message: str) -> NoReturn:
        print(f"{chr(10) if sent else ''}{parser.prog}: {message}", file=sys.stderr)
        raise SystemExit(2)

    sent = 0
    if args.width <= 0 or args.height <= 0 or args.width % 2 or args.height % 2:
        fail(f"the picture size must be positive and even, not {args.width}x{args.height}")
    picture_size = args.width * args.height * 3 // 2
    try:
        size = os.path.getsize(args.input)
        source = open(args.input, "rb")
    except OSError as error:
        fail(f"{args.input}: {error.strerror}")
    if size == 0 or size % picture_size:
        fail(f"{args.input}: its {size} bytes are not a whole number of {args.width}x{args.height} 4:2:0 "
             f"pictures ({picture_size} bytes each)")
    total = size // picture_size
    with source:
        try:
            with quillon.encode(output_path(args.output, args.codec), args.width, args.height, codec=args.codec,
                                fps=args.fps, bitrate=args.bitrate, quality=args.quality,
                                device=args.device) as video:
                for picture in pictures(source, args.width, args.height, args.format):
                    video.write(picture)
                    sent += 1
                    progress(sent, total)
        except OSError as error:
            fail(f"{error.filename}: {error.strerror}" if error.filename else str(error))
        except (ValueError, Error) as error:
            fail(str(error))
    print(f"\n{sent} pictures written to {args.output}", file=sys.stderr)


if __name__ == "__main__":
    main()
