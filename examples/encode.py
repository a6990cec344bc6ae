"""Encode a raw YUV file to an H.264 or HEVC stream, or to JPEG files,
through the media engine.

    python3 examples/encode.py clip.yuv 1920 1080 clip.h264
    python3 examples/encode.py clip.yuv 1920 1080 clip.hevc --format nv12 --bitrate 4000000
    python3 examples/encode.py clip.yuv 640 480 out/ --codec jpeg   # out/000000.jpg, ...

The codec follows the output's extension (.h264/.264, .hevc/.265) unless
--codec says otherwise. The stream written is an Annex B elementary stream
that ffmpeg and the module's own H264Reader read; a container name (.mp4,
.mkv, ...) is refused, as is an input that does not hold whole pictures of
the size given. Progress goes to standard error.
"""
import argparse
import os
import sys
from typing import IO, Any, Optional

import _quillon_pybind11 as quillon

kyme = quillon.kyme
CHANNEL = 0
EOS = kyme.kymeER_RSLT_WARN_EOS
TIMEOUT = 402007  # the host SDK's time-out code (see the README's Encoder section)
FORMATS = {"yuv420p": "KYME_PIX_FMT_YUV420P", "nv12": "KYME_PIX_FMT_NV12", "nv21": "KYME_PIX_FMT_NV21"}
QUALITY = {"gold": "KYME_GOLD_QUALITY", "silver": "KYME_SILVER_QUALITY", "silver2": "KYME_SILVER2_QUALITY",
           "bronze": "KYME_BRONZE_QUALITY"}


def check(code: int, what: str) -> None:
    if code != kyme.kymeER_SUCCESS:
        raise SystemExit(f"{what} failed with code {code}")


# Container formats: the encoder writes elementary streams, which these names would misdescribe.
CONTAINERS = (".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi", ".ts", ".mts", ".m2ts", ".flv", ".3gp", ".mpg", ".mpeg")


def codec_of(args: argparse.Namespace) -> str:
    ext = os.path.splitext(args.output)[1].lower()
    if ext in CONTAINERS and args.codec != "jpeg":
        raise SystemExit(f"{args.output}: the encoder writes a raw elementary stream, not {ext[1:].upper()}: "
                         "name the output .h264 or .hevc (ffmpeg -i clip.h264 -c copy clip.mp4 muxes it)")
    if args.codec:
        return str(args.codec)
    return "hevc" if ext in (".hevc", ".265", ".h265") else "h264"


def whole_pictures(args: argparse.Namespace) -> int:
    """The number of pictures in the input, which must hold whole pictures of the given size."""
    if args.width <= 0 or args.height <= 0:
        raise SystemExit(f"{args.width}x{args.height}: the width and height must be positive")
    picture_size = args.width * args.height + 2 * ((args.height + 1) // 2) * ((args.width + 1) // 2)
    try:
        size = os.path.getsize(args.input)
    except OSError as error:
        raise SystemExit(f"{args.input}: cannot be read ({error.strerror})") from None
    if size == 0 or size % picture_size:
        raise SystemExit(f"{args.input}: {size} bytes is not a whole number of {args.width}x{args.height} "
                         f"{args.format} pictures ({picture_size} bytes each): check the width and height")
    return int(size // picture_size)


def parameters(args: argparse.Namespace, codec: str, pixel: Any) -> Any:
    p = kyme.encChannelParamters()
    if codec == "jpeg":
        p.codecType = kyme.codecType.KYME_CODEC_ENC_JPEG
        p.jpegConfig.codingWidth, p.jpegConfig.codingHeight = args.width, args.height
        p.jpegConfig.frameType = pixel
        p.jpegConfig.userData = args.comment
        return p
    p.codecType = kyme.codecType.KYME_CODEC_ENC_HEVC if codec == "hevc" else kyme.codecType.KYME_CODEC_ENC_H264
    v = p.videoConfig
    v.width, v.height = args.width, args.height
    v.frameRate.numerator, v.frameRate.denominator = args.fps, 1
    v.qualityMode = getattr(kyme.encQualityMode, QUALITY[args.quality])
    v.tune = kyme.encTuneType.KYME_ENC_TUNE_VISUAL
    v.bBPyramid = v.P2B = v.llRc = v.vbr = v.enableROI = kyme.KYME_ENC_DEFAULT_PAR
    v.keyInt = args.keyint
    if args.bitrate:
        v.bitRate = args.bitrate
    if args.crf:
        v.crf = args.crf
    return p


class Sink:
    """Where coded units go: one stream file, or one JPEG file per picture."""

    def __init__(self, path: str, jpeg: bool) -> None:
        self.path, self.jpeg, self.count, self.bytes = path, jpeg, 0, 0
        self.file: Optional[IO[bytes]] = None
        if jpeg:
            os.makedirs(path, exist_ok=True)
        else:
            self.file = open(path, "wb")

    def write(self, stream: Any) -> None:
        data = memoryview(stream)
        if self.file is None:
            with open(os.path.join(self.path, f"{self.count:06d}.jpg"), "wb") as f:
                f.write(data)
        else:
            self.file.write(data)
        self.count += 1
        self.bytes += len(data)

    def close(self) -> None:
        if self.file is not None:
            self.file.close()


def progress(done: int, total: int, width: int = 40) -> None:
    filled = width * done // max(total, 1)
    print(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} pictures", end="", file=sys.stderr, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("width", type=int)
    parser.add_argument("height", type=int)
    parser.add_argument("output", help="stream file, or a folder for JPEG files")
    parser.add_argument("--format", choices=FORMATS, default="yuv420p", help="layout of the input pictures")
    parser.add_argument("--codec", choices=("h264", "hevc", "jpeg"))
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--quality", choices=QUALITY, default="gold", help="preset: gold is x264/x265 medium")
    parser.add_argument("--bitrate", type=int, default=0, help="target bits per second (default: constant quality)")
    parser.add_argument("--crf", type=int, default=0)
    parser.add_argument("--keyint", type=int, default=0, help="largest distance between IDR pictures")
    parser.add_argument("--comment", default="", help="JPEG comment segment")
    args = parser.parse_args()
    codec, pixel = codec_of(args), getattr(kyme.pixelFormat, FORMATS[args.format])
    total = whole_pictures(args)
    reader = kyme.YUVReader(args.input, pixel, args.width, args.height, args.width)

    check(kyme.systemInitialize(), "systemInitialize")
    check(kyme.createEncoderChannel(parameters(args, codec, pixel), CHANNEL), "createEncoderChannel")
    check(kyme.startEncoder(CHANNEL), "startEncoder")
    sink, frame, stream, sent = Sink(args.output, codec == "jpeg"), kyme.frame(), kyme.stream(), 0

    def receive(timeout: int) -> int:
        while (code := kyme.receiveStreamFromEncoder(CHANNEL, stream, timeout)) == 0:
            sink.write(stream)
            kyme.encReleaseStream(CHANNEL, stream, 0)
        return code

    try:
        reader.init()
        while reader.getFrame(frame):
            while (code := kyme.sendFrameToEncoder(CHANNEL, frame, None, 100)) == TIMEOUT:
                receive(0)  # the channel waits for its coded units to be taken
            check(code, "sendFrameToEncoder")
            sent += 1
            receive(0)
            progress(sent, total)
        reader.release()
        check(kyme.sendFrameToEncoder(CHANNEL, kyme.frame(), None, 1000), "sendFrameToEncoder (end of stream)")
        if (code := receive(60000)) != EOS:
            raise SystemExit(f"receiveStreamFromEncoder failed with code {code}")
    finally:
        sink.close()
        kyme.stopEncoder(CHANNEL)
        kyme.destroyEncoderChannel(CHANNEL)
        kyme.systemUninitialize()
    print(f"\n{sent} pictures, {sink.count} units, {sink.bytes} bytes written to {args.output}", file=sys.stderr)


if __name__ == "__main__":
    main()
