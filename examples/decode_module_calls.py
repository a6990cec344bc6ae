"""Decode an H.264, HEVC or JPEG file with the module's own calls (a decoder
channel of kyme, as the card's C interface has it) and save the pictures,
as PNG files (with Pillow) or as one raw YUV file. For code ported from the
C interface; examples/decode.py does the same with quillon.open.

    python3 examples/decode_module_calls.py clip.h264 out/            # out/000000.png, ...
    python3 examples/decode_module_calls.py clip.hevc out/ --yuv      # out/clip.yuv, planes as decoded
    python3 examples/decode_module_calls.py photo.jpg out/

The codec is chosen from the file's content. Pictures come back in output
order; each is moved to the host, saved, and released at once, so memory use
stays flat however long the file is.
"""
import argparse
import os
import sys
from typing import BinaryIO, Optional, Union

import numpy as np

import _quillon_pybind11 as quillon

kyme = quillon.kyme
CHANNEL = 0
EOS = kyme.kymeER_RSLT_WARN_EOS
TIMEOUT = 402007  # the host SDK's time-out code (see docs/kyme.md, Decoder)


def codec_of(path: str) -> str:
    try:
        with open(path, "rb") as f:
            head = f.read(64)
    except OSError as error:
        raise SystemExit(f"{path}: cannot be read ({error.strerror})") from None
    if head[:2] == b"\xff\xd8":
        return "KYME_CODEC_DEC_JPEG"
    start = head.find(b"\x00\x00\x01")
    if start < 0:
        raise SystemExit(f"{path}: neither a JPEG file nor an Annex B H.264/HEVC stream")
    first = head[start + 3]
    # HEVC's first unit is a parameter set or delimiter (types 32 to 35),
    # whose two-byte header has the layer bits clear.
    if (first >> 1) & 0x3F in (32, 33, 34, 35) and first & 0x81 == 0:
        return "KYME_CODEC_DEC_HEVC"
    return "KYME_CODEC_DEC_H264"


class Saver:
    def __init__(self, folder: str, stem: str, as_yuv: bool) -> None:
        self.folder, self.as_yuv, self.count = folder, as_yuv, 0
        self.raw: Optional[BinaryIO] = open(os.path.join(folder, stem + ".yuv"), "wb") if as_yuv else None

    def save(self, frame: quillon.kyme.frame) -> None:
        # The frame exports its bytes as a buffer, which these stubs cannot declare.
        pixels = np.frombuffer(memoryview(frame), np.uint8)  # type: ignore[arg-type]
        if self.raw is not None:
            self.raw.write(pixels.tobytes())
        else:
            from PIL import Image
            rows = pixels.reshape(frame.height, frame.stride[0])[:, :frame.width * 3]
            Image.fromarray(rows.reshape(frame.height, frame.width, 3)).save(
                os.path.join(self.folder, f"{self.count:06d}.png"))
        self.count += 1

    def close(self) -> None:
        if self.raw is not None:
            self.raw.close()


def check(code: int, what: str) -> None:
    if code != kyme.kymeER_SUCCESS:
        raise SystemExit(f"{what} failed with code {code}")


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("folder")
    parser.add_argument("--yuv", action="store_true", help="write raw YUV (planes as decoded) instead of PNG")
    args = parser.parse_args()
    codec = codec_of(args.input)
    try:
        os.makedirs(args.folder, exist_ok=True)
    except OSError as error:
        raise SystemExit(f"{args.folder}: the output folder cannot be made ({error.strerror})") from None

    check(kyme.systemInitialize(), "systemInitialize")
    parameters = kyme.decChannelParamters()
    parameters.codecType = getattr(kyme.codecType, codec)
    # PNG wants RGB; raw output keeps the stream's own layout (8- or 10-bit).
    parameters.pixelFormat = kyme.pixelFormat.KYME_PIX_FMT_NONE if args.yuv else kyme.pixelFormat.KYME_PIX_FMT_RGB24
    check(kyme.createDecoderChannel(parameters, CHANNEL), "createDecoderChannel")
    check(kyme.startDecoder(CHANNEL), "startDecoder")
    saver = Saver(args.folder, os.path.splitext(os.path.basename(args.input))[0], args.yuv)
    frame, options = kyme.frame(), kyme.decOutputOptions()
    options.memoryType = kyme.memoryType.KYME_MEM_HOST
    size = os.path.getsize(args.input)

    def receive(timeout: int) -> int:
        while (code := kyme.receiveFrameFromDecoder(CHANNEL, frame, options, timeout)) == 0:
            saver.save(frame)
            kyme.decReleaseFrame(CHANNEL, frame, 0)
        return code

    try:
        if codec == "KYME_CODEC_DEC_JPEG":
            reader: Union[kyme.JpegReader, kyme.H264Reader] = kyme.JpegReader(args.input)
        else:
            reader = kyme.H264Reader(args.input)
        reader.init()
        stream, sent, shown = kyme.stream(), 0, -1
        while reader.getStream(stream):
            while kyme.sendStreamToDecoder(CHANNEL, stream, 100) == TIMEOUT:
                receive(0)  # the decoder waits for pictures to be taken
            sent += len(memoryview(stream))  # type: ignore[arg-type]
            receive(0)
            if codec == "KYME_CODEC_DEC_JPEG":
                break
            if (percent := 100 * sent // max(size, 1)) != shown:
                shown = percent
                print(f"\r{saver.count} pictures, {percent}% of the file", end="", file=sys.stderr, flush=True)
        reader.release()
        check(kyme.sendStreamToDecoder(CHANNEL, kyme.stream(), 1000), "sendStreamToDecoder (end of stream)")
        code = receive(10000)
        if code != EOS:
            raise SystemExit(f"receiveFrameFromDecoder failed with code {code}")
        # A picture the decoder refuses (a corrupt one, or a coding it does
        # not support) is dropped and counted in the channel's status.
        status = kyme.decStatus()
        check(kyme.getDecoderStatus(CHANNEL, status), "getDecoderStatus")
        dropped, reason = status.droppedFrames, status.result
    finally:
        saver.close()
        kyme.stopDecoder(CHANNEL)
        kyme.destroyDecoderChannel(CHANNEL)
        kyme.systemUninitialize()
    why = f"{dropped} not decoded: {quillon.kycm.getErrDesc(reason).rstrip('.')} (code {reason})" if dropped else ""
    if not saver.count:
        raise SystemExit(f"\r{args.input}: no picture saved; {why or 'the file holds no picture'}")
    print(f"\r{saver.count} pictures saved in {args.folder}" + (f"; {why}" if why else "") + " " * 20, file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
