"""The main job: video analytics on every die of the accelerator.

    python3 examples/pipeline.py                      # a demo clip it makes itself
    python3 examples/pipeline.py clip.h264 b.hevc     # H.264 / HEVC elementary streams
    python3 examples/pipeline.py photos/              # a folder of JPEG files
    python3 examples/pipeline.py --model net.onnx --out results/ clip.h264

Every die of the platform gets one decoder channel, fed by a thread of its
own while another receives the pictures. Each picture is preprocessed on
the die by a fusion op (NV12, resize, RGB planar, normalise, tensor) and
inferred asynchronously on a stream of the die; results arrive through the
stream's report callback. A long clip is shared among the dies a group of
pictures at a time (each group starts at an IDR picture).

Output, in --out: results.jsonl (one line per picture), contact_sheet.png
(sampled pictures with their results) and a summary on standard output.

Without --model the built-in model is used (made at first run with onnx): it
names the dominant colour of the picture among fixed colour classes and
measures its edge energy, with fixed kernels anyone can check by eye.
"""
from __future__ import annotations

import os
import signal
import sys
from types import FrameType

MESSAGE_INTERRUPTED = "\nquillon-pipeline: interrupted\n"


def leave_now(signum: int, frame: FrameType | None) -> None:
    """SIGINT or SIGTERM while nothing needs undoing (start-up, the end):
    the message and exit status 130 at once, not a traceback out of an import."""
    os.write(2, MESSAGE_INTERRUPTED.encode())
    os._exit(130)


# Run as the program (the script, or the installed command's copy of it):
# the handler goes in before the imports below, which take a while.
if __name__ in ("__main__", "quillon._pipeline"):
    signal.signal(signal.SIGINT, leave_now)
    signal.signal(signal.SIGTERM, leave_now)

import argparse  # noqa: E402
import collections  # noqa: E402
import contextlib  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import queue  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from typing import Any, Callable, Iterator, Sequence  # noqa: E402

import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

try:
    import _quillon_pybind11 as quillon
except ImportError:  # run from a source tree: use its build
    _build = pathlib.Path(os.environ.get("QUILLON_BUILD_DIR", pathlib.Path(__file__).resolve().parents[1] / "build"))
    sys.path.insert(0, str(_build / "python"))
    import _quillon_pybind11 as quillon

kycm: Any = quillon.kycm
kyme: Any = quillon.kyme
kycl: Any = quillon.kycl
kyce: Any = quillon.kyce
kyml: Any = quillon.kyml

# Colour classes of the built-in model, with the RGB colour each stands for.
COLOURS: dict[str, tuple[int, int, int]] = {
    "black": (0, 0, 0), "white": (255, 255, 255), "grey": (128, 128, 128),
    "red": (255, 0, 0), "green": (0, 255, 0), "blue": (0, 0, 255),
    "yellow": (255, 255, 0), "cyan": (0, 255, 255), "magenta": (255, 0, 255),
}
CLASS_NAMES = list(COLOURS)
MODEL_SIZE = 112          # the built-in model's input: 1 x 3 x 112 x 112, RGB in [0, 1]
PIXEL_SHARPNESS = 40.0    # how firmly each pixel is given to its nearest colour
CLASS_SHARPNESS = 8.0     # softmax over the colour shares
DEMO_SIZE = (1920, 1080)
DEMO_PICTURES = 300
DEMO_RATE = 30
GROUP = 30                # demo pictures between IDR pictures
SHEET_COLUMNS, SHEET_ROWS, THUMB = 6, 4, (240, 136)
WAIT = 0xFFFFFFFF         # no time limit, for the library's time-outs
EOS = 401002              # kymeER_RSLT_WARN_EOS: the channel gave its last picture
TIMEOUT = 402007          # KYME_TIMEOUT


class UserError(Exception):
    """A problem with what the user gave: reported as a message, not a traceback."""


class Interrupted(KeyboardInterrupt):
    """SIGINT or SIGTERM during the run."""


class Signals:
    """SIGINT and SIGTERM during a run: the first stops the run by raising
    Interrupted in the main thread (the run's clean-up then releases the
    card), later ones leave at once. Inside `held()` (outputs being put in
    place, the card being released) the first signal waits for the block to
    end; a second one does not."""

    def __init__(self) -> None:
        self.holding = False
        self.pending = False
        self.previous: list[tuple[int, Any]] = []

    def __enter__(self) -> Signals:
        # signal.signal works in the main thread only; a program calling
        # main() from another thread keeps its own handling.
        if threading.current_thread() is threading.main_thread():
            for number in (signal.SIGINT, signal.SIGTERM):
                self.previous.append((number, signal.signal(number, self.stop)))
        return self

    def __exit__(self, *exc: object) -> None:
        for number, handler in self.previous:
            signal.signal(number, handler)

    def stop(self, signum: int, frame: FrameType | None) -> None:
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


# ---------------------------------------------------------------- inputs


@dataclass
class Input:
    kind: str  # "h264", "hevc" or "jpeg"
    paths: list[pathlib.Path]
    name: str


def sniff(path: pathlib.Path) -> str:
    """The kind of a file from its first bytes: "jpeg", "h264", "hevc" or ""."""
    with open(path, "rb") as f:
        head = f.read(256)
    if head[:3] == b"\xff\xd8\xff":
        return "jpeg"
    zeros = len(head) - len(head.lstrip(b"\x00"))
    if zeros < 2 or zeros >= len(head) - 1 or head[zeros] != 1:
        return ""
    header = head[zeros + 1]
    if header & 0x80:
        return ""
    # HEVC opens with a delimiter or parameter set (types 32 to 35), H.264
    # with a delimiter, parameter set or slice.
    if (header >> 1) & 0x3F in (32, 33, 34, 35) and zeros + 2 < len(head) and head[zeros + 2] & 0xF8 == 0:
        return "hevc"
    return "h264" if header & 0x1F in (1, 5, 6, 7, 8, 9) else ""


def readable(path: pathlib.Path) -> None:
    if not path.exists():
        raise UserError(f"{path}: no such file or folder")
    try:
        with open(path, "rb") as f:
            f.read(1)
    except OSError as error:
        raise UserError(f"{path}: cannot be read ({error.strerror})") from None


def collect_inputs(arguments: Sequence[str]) -> list[Input]:
    inputs: list[Input] = []
    for argument in arguments:
        path = pathlib.Path(argument)
        if path.is_dir():
            files = sorted(p for p in path.iterdir() if p.suffix.lower() in (".jpg", ".jpeg") and p.is_file())
            if not files:
                raise UserError(f"{path}: the folder holds no JPEG files (.jpg, .jpeg)")
            for file in files:
                readable(file)
                if sniff(file) != "jpeg":
                    raise UserError(f"{file}: not a JPEG file")
            inputs.append(Input("jpeg", files, str(path)))
            continue
        readable(path)
        if path.stat().st_size == 0:
            raise UserError(f"{path}: the file is empty")
        kind = sniff(path)
        if not kind:
            raise UserError(f"{path}: neither an H.264/HEVC elementary stream nor a JPEG file")
        inputs.append(Input(kind, [path], str(path)))
    return inputs


# ---------------------------------------------------------------- demo clip


def demo_picture(index: int, width: int, height: int) -> npt.NDArray[np.uint8]:
    """Picture `index` of the demo: a plain background whose colour changes
    every two seconds, crossed by moving shapes of other colours."""
    names = ["blue", "red", "green", "yellow", "cyan", "magenta", "grey", "white", "black"]
    background = COLOURS[names[(index // (2 * DEMO_RATE)) % len(names)]]
    picture = np.empty((height, width, 3), np.uint8)
    paint(picture, background)
    t = index / DEMO_RATE
    shapes = [("red", 0.9, 0.5, 0.18), ("green", 1.3, 1.1, 0.12), ("yellow", 0.7, 1.7, 0.15),
              ("white", 1.7, 0.3, 0.08), ("magenta", 0.5, 2.3, 0.1)]
    ys, xs = np.ogrid[:height, :width]
    for number, (name, fx, fy, size) in enumerate(shapes):
        colour = COLOURS[name]
        if colour == background:
            colour = COLOURS["black"]
        cx = int((0.5 + 0.38 * np.sin(fx * t + number)) * width)
        cy = int((0.5 + 0.35 * np.cos(fy * t + 2 * number)) * height)
        r = int(size * height / 2)
        top, bottom, left, right = max(cy - r, 0), min(cy + r, height), max(cx - r, 0), min(cx + r, width)
        if number % 2:  # a disc
            mask = (ys[top:bottom] - cy) ** 2 + (xs[:, left:right] - cx) ** 2 <= r * r
            picture[top:bottom, left:right][mask] = colour
        else:  # a square
            paint(picture[top:bottom, left:right], colour)
    return picture


def paint(region: npt.NDArray[np.uint8], colour: tuple[int, int, int]) -> None:
    # One row of the colour copied down the region: much faster than
    # broadcasting three values over every pixel.
    region[...] = np.tile(np.asarray(colour, np.uint8), (region.shape[1], 1))


def rgb_to_i420(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """Limited-range BT.601 YUV 4:2:0, planes one after another."""
    import cv2  # type: ignore[import]

    return np.asarray(cv2.cvtColor(rgb, cv2.COLOR_RGB2YUV_I420)).reshape(-1)


def encode_demo_clip(path: pathlib.Path, width: int, height: int, count: int, quiet: bool) -> None:
    """Draws the demo and encodes it to H.264 on the first die's encoder."""
    channel = 0
    parameters = kyme.encChannelParamters()
    parameters.codecType = kyme.codecType.KYME_CODEC_ENC_H264
    parameters.outbufNum = 8
    video = parameters.videoConfig
    video.width, video.height = width, height
    rate = kyme.rational()
    rate.numerator, rate.denominator = DEMO_RATE, 1
    video.frameRate = rate
    video.keyInt = GROUP  # an IDR picture every GROUP pictures: where the dies share the clip
    parameters.videoConfig = video
    check(kyme.createEncoderChannel(parameters, channel), "createEncoderChannel")
    check(kyme.startEncoder(channel), "startEncoder")
    # One picture file, rewritten for every picture and read back by a YUV
    # reader (whose count gives the pictures their time stamps); the encoder
    # copies a picture when it is sent.
    folder = tempfile.TemporaryDirectory(prefix="quillon-demo-")
    picture = os.path.join(folder.name, "picture.yuv")
    pathlib.Path(picture).write_bytes(b"")
    reader = kyme.YUVReader(picture, kyme.pixelFormat.KYME_PIX_FMT_YUV420P, width, height, width)
    reader.init()
    frame, stream = kyme.frame(), kyme.stream()
    partial = path.with_suffix(".part")
    try:
        with open(partial, "wb") as out:
            def drain(timeout: int) -> int:
                while (code := kyme.receiveStreamFromEncoder(channel, stream, timeout)) == 0:
                    out.write(memoryview(stream))
                    kyme.encReleaseStream(channel, stream, 0)
                return int(code)

            for index in range(count):
                with open(picture, "r+b") as f:
                    f.write(rgb_to_i420(demo_picture(index, width, height)).tobytes())
                reader.seek_to_start()
                if not reader.getFrame(frame):
                    raise RuntimeError("the demo picture could not be read back")
                while (code := kyme.sendFrameToEncoder(channel, frame, None, 100)) == TIMEOUT:
                    drain(0)
                check(code, "sendFrameToEncoder")
                drain(0)
                progress_line(quiet, f"making the demo clip: {index + 1}/{count} pictures")
            check(kyme.sendFrameToEncoder(channel, kyme.frame(), None, WAIT), "sendFrameToEncoder")  # the end
            code = drain(60000)
            if code != EOS:
                check(code, "receiveStreamFromEncoder (end of the stream)")
        partial.replace(path)
    finally:
        reader.release()
        folder.cleanup()
        kyme.stopEncoder(channel)
        kyme.destroyEncoderChannel(channel)
        partial.unlink(missing_ok=True)
        progress_line(quiet, "")


def demo_clip(cache: pathlib.Path, width: int, height: int, count: int, quiet: bool) -> pathlib.Path:
    """The demo clip, made once and kept in `cache`."""
    path = cache / f"demo-{width}x{height}-{count}.h264"
    if path.exists() and path.stat().st_size > 0:
        return path
    with cache_written(cache):
        cache.mkdir(parents=True, exist_ok=True)
        encode_demo_clip(path, width, height, count, quiet)
    return path


@contextlib.contextmanager
def cache_written(cache: pathlib.Path) -> Iterator[None]:
    """A full or failing disk under the cache folder is the user's to mend: one line."""
    try:
        yield
    except OSError as error:
        raise UserError(f"{cache}: the cache folder cannot be written ({error.strerror or error})") from None


def check(code: int, what: str) -> None:
    if code != 0:
        raise RuntimeError(f"{what} failed with code {code}")


# ---------------------------------------------------------------- the built-in model


def build_model(path: pathlib.Path) -> None:
    """Writes the built-in ONNX model: dominant colour class and edge energy.

    Each pixel p is scored against every class colour c by -|p - c|^2
    (a 1x1 convolution, as 2 p.c - |c|^2 up to a term equal for all classes),
    a sharp softmax gives each pixel to its nearest colour, average pooling
    gives each class's share of the picture, and a softmax over the shares
    names the dominant colour. Edge energy is the mean magnitude of Sobel
    gradients of the grey picture.
    """
    import onnx  # type: ignore[import]
    from onnx import TensorProto, helper, numpy_helper

    colours = np.array(list(COLOURS.values()), np.float32) / 255
    k = len(colours)
    weights = (2 * PIXEL_SHARPNESS * colours).reshape(k, 3, 1, 1)
    bias = -PIXEL_SHARPNESS * (colours ** 2).sum(axis=1)
    grey = np.array([0.299, 0.587, 0.114], np.float32).reshape(1, 3, 1, 1)
    sobel_x = np.array([[-1, 0, 1], [-2, 0, 2], [-1, 0, 1]], np.float32)
    sobel = np.stack([sobel_x, sobel_x.T]).reshape(2, 1, 3, 3)
    initialisers = [
        numpy_helper.from_array(weights, "colour_w"), numpy_helper.from_array(bias.astype(np.float32), "colour_b"),
        numpy_helper.from_array(grey, "grey_w"), numpy_helper.from_array(sobel, "sobel_w"),
        numpy_helper.from_array(np.array(CLASS_SHARPNESS, np.float32), "class_sharpness"),
        numpy_helper.from_array(np.array([1, k], np.int64), "class_shape"),
    ]
    nodes = [
        helper.make_node("Conv", ["image", "colour_w", "colour_b"], ["pixel_scores"], kernel_shape=[1, 1]),
        helper.make_node("Softmax", ["pixel_scores"], ["pixel_class"], axis=1),
        helper.make_node("GlobalAveragePool", ["pixel_class"], ["shares4"]),
        helper.make_node("Reshape", ["shares4", "class_shape"], ["shares"]),
        helper.make_node("Mul", ["shares", "class_sharpness"], ["class_scores"]),
        helper.make_node("Softmax", ["class_scores"], ["colour"], axis=1),
        helper.make_node("Conv", ["image", "grey_w"], ["grey"], kernel_shape=[1, 1]),
        helper.make_node("Conv", ["grey", "sobel_w"], ["gradients"], kernel_shape=[3, 3]),
        helper.make_node("Abs", ["gradients"], ["magnitudes"]),
        helper.make_node("ReduceMean", ["magnitudes"], ["edge_energy"], axes=[1, 2, 3], keepdims=0),
    ]
    graph = helper.make_graph(
        nodes, "dominant_colour",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, MODEL_SIZE, MODEL_SIZE])],
        [helper.make_tensor_value_info("colour", TensorProto.FLOAT, [1, k]),
         helper.make_tensor_value_info("edge_energy", TensorProto.FLOAT, [1])],
        initialisers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="quillon-pipeline")
    model.ir_version = 7
    onnx.checker.check_model(model)
    partial = path.with_suffix(".part")
    try:
        onnx.save(model, str(partial))
        partial.replace(path)
    finally:
        partial.unlink(missing_ok=True)


def builtin_model(cache: pathlib.Path) -> pathlib.Path:
    path = cache / f"dominant-colour-{MODEL_SIZE}.onnx"
    if not path.exists():
        with cache_written(cache):
            cache.mkdir(parents=True, exist_ok=True)
            build_model(path)
    return path


# ---------------------------------------------------------------- measurements


@dataclass
class Result:
    source: str
    group: int     # input order, then picture group, then output order
    order: int
    pts: int
    die: int
    top: int
    score: float
    edges: float | None
    thumbnail: npt.NDArray[np.uint8] | None = None


@dataclass
class Stats:
    lock: threading.Lock = field(default_factory=threading.Lock)
    results: list[Result] = field(default_factory=list)
    per_die: collections.Counter[int] = field(default_factory=collections.Counter)
    skipped: int = 0
    preprocess_s: float = 0.0
    infer_s: float = 0.0
    decode_s: float = 0.0
    bytes_total: int = 0
    bytes_done: int = 0
    failures: list[str] = field(default_factory=list)

    def add(self, result: Result) -> None:
        with self.lock:
            self.results.append(result)
            self.per_die[result.die] += 1


def progress_line(quiet: bool, text: str) -> None:
    """Rewrites the progress line on standard error; an empty text clears it."""
    if quiet:
        return
    width = 110
    sys.stderr.write("\r" + text[:width].ljust(width) + ("" if text else "\r"))
    sys.stderr.flush()


# ---------------------------------------------------------------- dies


@dataclass
class Die:
    device: int
    label: str
    handle: int
    stream: Any = None
    model: Any = None
    graph: Any = None
    op: Any = None  # the fusion op, or None for the stand-in
    op_input: tuple[int, int] = (0, 0)  # the picture size the op is set for
    slots: list[Slot] = field(default_factory=list)
    free: Any = None  # a queue of free slot numbers
    pending: collections.deque[tuple[int, Result, float]] = field(default_factory=collections.deque)
    last_done: float = 0.0
    thumbnails: list[Result] = field(default_factory=list)
    thumbnail_stride: int = 4
    thumbnail_buffers: tuple[Any, Any, Any] = (None, None, None)
    peak_memory: int = 0
    memory_total: int = 0


@dataclass
class Slot:
    tensor: Any      # device address of the input tensor
    inputs: Any      # dataset holding it
    outputs: Any     # dataset the stream fills
    output_sizes: list[int]
    output_host: list[Any] = field(default_factory=list)  # host blocks the outputs are copied to
    staging: Any = None  # the stand-in preprocessing's device images and host block


def list_dies() -> list[tuple[int, str, int]]:
    """(device, label, kyml die handle) of every die, in device order."""
    dies: list[tuple[int, str, int]] = []
    for card_index, card in enumerate(kyml.getCardInfo([])):
        handle = kyml.getCardHandleByIndex(card_index)
        for die_index in range(len(card.dieInfo)):
            dies.append((len(dies), f"{card_index}:{die_index}", kyml.getDieHandleByIndex(handle, die_index)))
    return dies


def device_dataset(addresses: Sequence[tuple[Any, int]], device: int) -> Any:
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    info = kycm.deviceInfo()
    info.deviceType, info.deviceIdx = kycm.deviceType.kycmDE_KYCC, device
    for address, size in addresses:
        kycm.addDatasetBuffer(dataset, kycm.createDataBuffer(info, address, size))
    return dataset


class Model:
    """The model file and what the pipeline needs to know of it."""

    def __init__(self, path: pathlib.Path, builtin: bool) -> None:
        self.path, self.builtin = path, builtin
        kycm.setDevice(0)
        try:
            probe = kycl.createModel(str(path), "", "", "")
        except RuntimeError:
            raise UserError(f"{path}: not a model the runtime can load (an ONNX file OpenCV's dnn reads)") from None
        try:
            if kycl.getModelInputCount(probe) != 1:
                raise UserError(f"{path}: the model must take one input (an image tensor)")
            shape = kycm.shape()
            kycl.getModelInputShapeByIndex(probe, 0, shape)
            dims = list(shape.shapes)
            if len(dims) != 4 or dims[0] != 1 or dims[1] != 3 or dims[2] <= 0 or dims[3] <= 0:
                raise UserError(f"{path}: the model's input must be 1 x 3 x height x width, not {dims}")
            self.height, self.width = int(dims[2]), int(dims[3])
            self.output_sizes = [int(kycl.getModelOutputSizeByIndex(probe, i))
                                 for i in range(kycl.getModelOutputCount(probe))]
            self.output_types = [kycl.getModelOutputDataTypeByIndex(probe, i) for i in range(len(self.output_sizes))]
            if self.output_types[0] != kycm.dType.kycmDT_FLOAT32:
                raise UserError(f"{path}: the model's first output must be float32 class scores")
            self.classes = self.output_sizes[0] // 4
        finally:
            kycl.destroyModel(probe)

    def label(self, index: int) -> str:
        return CLASS_NAMES[index] if self.builtin and index < len(CLASS_NAMES) else f"class {index}"


# ---------------------------------------------------------------- preprocessing


def fusion_op(model: Model) -> Any:
    """The fusion op NV12 -> resize -> RGB planar -> normalise -> float32
    tensor in the model's input layout, or None when the op engine does not
    offer it (preprocessing then falls back to two image ops and numpy)."""
    create = getattr(kyce, "createOp", None)
    if create is None:
        return None
    try:
        op = create(kyce.opType.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR)
    except RuntimeError:
        return None
    codes = [
        set_array(op, "output_size", [model.width, model.height]),
        set_element(op, "resize_type", int(kyce.resizeType.kyceRESIZE_BILINEAR)),
        set_element(op, "cvt_code", int(kyce.colorCvtCode.kyceCOLOR_YUV2RGB_NV12)),
        set_element(op, "color_space", int(kyce.colorSpace.kyceCOLOR_SPACE_BT601)),
        set_element(op, "norm_type", int(kyce.normType.kyceNORM_DIV255)),
        set_element(op, "tensorization_type", int(kyce.tensorizationType.kyceTENSORIZATION_NONE)),
    ]
    if any(codes):
        kyce.destroyOp(op)
        return None
    return op


def set_element(op: Any, name: str, value: int) -> int:
    return int(kyce.setKyceOPAttr(op, name, kyce.dataType.kyceDT_INT, kyce.paramType.kycePARAM_ELEMENT, value))


def set_array(op: Any, name: str, values: Sequence[int]) -> int:
    codes = [kyce.setKyceOPAttrArray(op, name, kyce.dataType.kyceDT_INT, kyce.paramType.kycePARAM_ARRAY, value, index)
             for index, value in enumerate(values)]
    return int(next((code for code in codes if code), 0))


def image_desc(width: int, height: int, fmt: Any) -> Any:
    desc = kyce.imageDesc()
    desc.width, desc.height, desc.widthPitch, desc.heightPitch, desc.format = width, height, width, height, fmt
    return desc


def preprocess(die: Die, slot: Slot, frame: Any, model: Model) -> int:
    """Writes the picture's model input into the slot's tensor; 0 or a code.
    Pictures are packed NV12: the pitches are the sizes."""
    source = image_desc(frame.width, frame.height, kyce.imageType.kyceIMG_YUV_NV12)
    if die.op is not None:
        if die.op_input != (frame.width, frame.height):  # the op keeps the last picture size
            code = set_array(die.op, "input_desc", [frame.width, frame.height, frame.width, frame.height,
                                                    int(kyce.imageType.kyceIMG_YUV_NV12)])
            if code != 0:
                return code
            die.op_input = (frame.width, frame.height)
        return int(kyce.executeOp(die.op, frame.data[0], slot.tensor))
    # Stand-in: resize and convert on the device, normalise on the host.
    small_nv12, rgb, host = slot.staging
    small = image_desc(model.width, model.height, kyce.imageType.kyceIMG_YUV_NV12)
    code = kyce.resize(kyce.resizeType.kyceRESIZE_BILINEAR, source, frame.data[0], small, small_nv12)
    if code == 0:
        code = kyce.cvtColor(kyce.colorCvtCode.kyceCOLOR_YUV2RGB_NV12, kyce.colorSpace.kyceCOLOR_SPACE_BT601, small,
                             small_nv12, image_desc(model.width, model.height, kyce.imageType.kyceIMG_RGB888), rgb)
    if code != 0:
        return int(code)
    size = model.width * model.height * 3
    code = kycm.memcpy(rgb, host, size, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE)
    if code != 0:
        return int(code)
    pixels = kycm.getNumpyFromHandle(host, size).reshape(model.height, model.width, 3)
    tensor = np.ascontiguousarray(pixels.transpose(2, 0, 1), np.float32) / 255
    block = kycm.getHandleFromNumpy(tensor.reshape(-1).view(np.uint8))
    try:
        return int(kycm.memcpy(block, slot.tensor, tensor.nbytes, kycm.copyMemType.kycmCT_COPY_TO_DEVICE))
    finally:
        kycm.freeHost(block)


# ---------------------------------------------------------------- the pipeline


SLOTS_PER_DIE = 6


class Pipeline:
    def __init__(self, model: Model, quiet: bool) -> None:
        self.model, self.quiet = model, quiet
        self.stats = Stats()
        self.dies: list[Die] = []
        self.started = time.perf_counter()
        self.error: BaseException | None = None
        self.report_lock = threading.Lock()

    # -- set-up and tear-down

    def open(self) -> None:
        for device, label, handle in list_dies():
            die = Die(device, label, handle)
            kycm.setDevice(device)
            die.model = kycl.createModel(str(self.model.path), "", "", "")
            die.graph = kycl.createOpGraph()
            run = kycl.createRunModelOp(die.model)
            kycl.connectOps(kycl.createGraphInputOp(die.graph, 0), run)
            kycl.registerGetOutput(die.graph, run)
            die.stream = kycl.createOpStream(die.graph, kycl.balance_mode.kyclBM_ONCE)
            check(kycl.buildStream(die.stream), "buildStream")
            kycl.subscribeStreamReport(die.stream, self.on_report, die)
            die.op = fusion_op(self.model)
            pixels = THUMB[0] * THUMB[1]
            die.thumbnail_buffers = (kycm.malloc(pixels * 3 // 2), kycm.malloc(pixels * 3), kycm.mallocHost(pixels * 3))
            tensor_bytes = 3 * self.model.width * self.model.height * 4
            die.free = queue.Queue()
            for number in range(SLOTS_PER_DIE):
                tensor = kycm.malloc(tensor_bytes)
                slot = Slot(tensor, device_dataset([(tensor, tensor_bytes)], device),
                            kycl.requestOutputDataset(die.stream), self.model.output_sizes,
                            [kycm.mallocHost(max(size, 1)) for size in self.model.output_sizes[:2]])
                if die.op is None:
                    pixels = self.model.width * self.model.height
                    slot.staging = (kycm.malloc(pixels * 3 // 2), kycm.malloc(pixels * 3), kycm.mallocHost(pixels * 3))
                die.slots.append(slot)
                die.free.put(number)
            self.dies.append(die)
        self.sample_memory()

    def close(self) -> None:
        # The datasets, buffers and memory blocks go with the runtime
        # (kycm.uninitialize); the library objects below do not.
        for die in self.dies:
            if die.stream is not None:
                kycl.synchronizeStream(die.stream, 0)
                kycl.destroyOpStream(die.stream)
            if die.op is not None:
                kyce.destroyOp(die.op)
            if die.graph is not None:
                kycl.destroyOpGraph(die.graph)
            if die.model is not None:
                kycl.destroyModel(die.model)

    def sample_memory(self) -> None:
        for die in self.dies:
            memory = kyml.getMemUtilizationRate(die.handle)
            die.peak_memory = max(die.peak_memory, int(memory.used))
            die.memory_total = int(memory.total)

    # -- results

    def on_report(self, stream: Any, inputs: Any, outputs: Any, status: Any, die: Die) -> None:
        """Called on the stream's thread when a request is done (requests of a
        stream finish in the order they were sent)."""
        try:
            number, result, submitted = die.pending.popleft()
            slot = die.slots[number]
            if status.errorCode != 0:
                with self.stats.lock:
                    self.stats.skipped += 1
                    self.stats.failures.append(f"{result.source} pts {result.pts}: inference code {status.errorCode}")
            else:
                values = []
                for index, (size, host) in enumerate(zip(slot.output_sizes, slot.output_host)):
                    buffer = kycm.getDatasetBuffer(outputs, index)
                    check(kycm.memcpy(kycm.getDataBufferAddr(buffer), host, size,
                                      kycm.copyMemType.kycmCT_COPY_FROM_DEVICE), "memcpy")
                    data = kycm.getNumpyFromHandle(host, size)
                    values.append(data.view(np.float32) if size % 4 == 0 else data.astype(np.float32))
                scores = values[0]
                result.top = int(np.argmax(scores))
                result.score = float(scores[result.top])
                result.edges = float(values[1][0]) if len(values) > 1 and values[1].size else None
                self.stats.add(result)
            now = time.perf_counter()
            with self.stats.lock:
                # Requests of a stream run one after another: each ran from
                # its submission or the previous one's end, whichever is later.
                self.stats.infer_s += now - max(submitted, die.last_done)
                die.last_done = now
            die.free.put(number)
        except BaseException as error:  # never let an exception into the library's thread
            self.error = self.error or error

    # -- one decoder channel per die

    def run_input(self, item: Input, group_base: int) -> int:
        """Runs one input over every die; returns the number of picture groups used."""
        jpeg = item.kind == "jpeg"
        codec = {"jpeg": "KYME_CODEC_DEC_JPEG", "h264": "KYME_CODEC_DEC_H264", "hevc": "KYME_CODEC_DEC_HEVC"}[item.kind]
        channels = open_channels(self.dies, getattr(kyme.codecType, codec))
        feeders: list[Feeder] = []
        threads = []
        try:
            for k, die in enumerate(self.dies):
                feeder = Feeder(item, k, len(self.dies), channels[k], self.stats, lambda: self.error is not None)
                feeders.append(feeder)
                receiver = threading.Thread(target=self.receive, args=(die, channels[k], feeder, item, group_base),
                                            name=f"receive-{die.label}", daemon=True)
                feed = threading.Thread(target=self.guard, args=(feeder.run_jpeg if jpeg else feeder.run_video,),
                                        name=f"feed-{die.label}", daemon=True)
                threads += [feed, receiver]
                feed.start()
                receiver.start()
            self.watch(threads)
            for die in self.dies:
                kycl.synchronizeStream(die.stream, 0)
        except BaseException as error:  # an interruption: the threads stop too
            self.error = self.error or error
            raise
        finally:
            # Stopping the channels wakes a thread waiting in one; the
            # threads end before their channels go.
            for channel in channels:
                kyme.stopDecoder(channel)
            for thread in threads:
                thread.join(10)
            for channel in channels:
                kyme.destroyDecoderChannel(channel)
        if self.error is not None:
            raise self.error
        return len(item.paths) if jpeg else max(f.group for f in feeders) + 1

    def guard(self, body: Callable[[], None]) -> None:
        try:
            body()
        except BaseException as error:
            self.error = self.error or error

    def receive(self, die: Die, channel: int, feeder: Feeder, item: Input, group_base: int) -> None:
        try:
            self.receive_pictures(die, channel, feeder, item, group_base)
        except BaseException as error:
            self.error = self.error or error

    def receive_pictures(self, die: Die, channel: int, feeder: Feeder, item: Input, group_base: int) -> None:
        frame, options = kyme.frame(), kyme.decOutputOptions()
        order = 0
        received = 0
        first: float | None = None
        while self.error is None:
            code = kyme.receiveFrameFromDecoder(channel, frame, options, 200)
            if code == TIMEOUT:
                continue
            if code == EOS:
                break
            check(code, "receiveFrameFromDecoder")
            first = first if first is not None else feeder.first_sent or time.perf_counter()
            received += 1
            number = die.free.get()
            slot = die.slots[number]
            start = time.perf_counter()
            code = preprocess(die, slot, frame, self.model)
            done = time.perf_counter()
            pts = frame_pts(frame)
            thumbnail = None
            if code == 0 and order % die.thumbnail_stride == 0:
                thumbnail = self.thumbnail(die, frame)
            kyme.decReleaseFrame(channel, frame, 0)
            with self.stats.lock:
                self.stats.preprocess_s += done - start
            if code != 0:
                die.free.put(number)
                with self.stats.lock:
                    self.stats.skipped += 1
                    self.stats.failures.append(f"{item.name} pts {pts}: preprocessing code {code}")
                continue
            if item.kind == "jpeg":
                source, group = str(item.paths[pts]), group_base + pts
            else:
                source, group = item.name, group_base + feeder.group_of(pts)
            result = Result(source, group, order, pts, die.device, -1, 0.0, None, thumbnail)
            if thumbnail is not None:
                self.keep_thumbnail(die, result)
            order += 1
            die.pending.append((number, result, time.perf_counter()))
            check(kycl.runStreamAsync(die.stream, slot.inputs, slot.outputs), "runStreamAsync")
        with self.stats.lock:
            self.stats.skipped += max(0, feeder.pictures_sent - received)
            if first is not None:
                self.stats.decode_s += time.perf_counter() - first

    @staticmethod
    def keep_thumbnail(die: Die, result: Result) -> None:
        """Keeps thumbnails of pictures spread over the run in bounded memory:
        when too many are kept, every other one goes and the stride doubles."""
        die.thumbnails.append(result)
        if len(die.thumbnails) > 2 * SHEET_COLUMNS * SHEET_ROWS:
            for dropped in die.thumbnails[1::2]:
                dropped.thumbnail = None
            die.thumbnails = die.thumbnails[::2]
            die.thumbnail_stride *= 2

    @staticmethod
    def thumbnail(die: Die, frame: Any) -> npt.NDArray[np.uint8] | None:
        """A small RGB copy of a sampled picture for the contact sheet, made on
        the die (resize, then colour conversion) so that only it is copied."""
        width, height = THUMB
        nv12_desc = image_desc(width, height, kyce.imageType.kyceIMG_YUV_NV12)
        rgb_desc = image_desc(width, height, kyce.imageType.kyceIMG_RGB888)
        nv12, rgb, host = die.thumbnail_buffers
        source = image_desc(frame.width, frame.height, kyce.imageType.kyceIMG_YUV_NV12)
        if (kyce.resize(kyce.resizeType.kyceRESIZE_BILINEAR, source, frame.data[0], nv12_desc, nv12) != 0
                or kyce.cvtColor(kyce.colorCvtCode.kyceCOLOR_YUV2RGB_NV12, kyce.colorSpace.kyceCOLOR_SPACE_BT601,
                                 nv12_desc, nv12, rgb_desc, rgb) != 0
                or kycm.memcpy(rgb, host, width * height * 3, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE) != 0):
            return None
        return np.asarray(kycm.getNumpyFromHandle(host, width * height * 3)).reshape(height, width, 3)

    def watch(self, threads: list[threading.Thread]) -> None:
        """Waits for the threads, drawing the progress bar meanwhile."""
        while any(t.is_alive() for t in threads) and self.error is None:
            threads[-1].join(0.2)
            self.sample_memory()
            self.draw_progress()

    def draw_progress(self) -> None:
        if self.quiet:
            return
        elapsed = time.perf_counter() - self.started
        with self.stats.lock:
            done, total, fed = len(self.stats.results), self.stats.bytes_total, self.stats.bytes_done
        fraction = min(1.0, fed / total) if total else 0.0
        rate = done / elapsed if elapsed > 0 else 0.0
        left = elapsed * (1 - fraction) / fraction if fraction > 0.02 else float("nan")
        bar = "#" * int(20 * fraction)
        loads = []
        for die in self.dies:
            rates = kyml.getUtilizationRate(die.handle)
            loads.append(f"{die.label} {rates.vdmcu}/{rates.vdsp}/{rates.ai}%")
        eta = f"{left:4.0f} s left" if left == left else "   ? s left"
        progress_line(False, f"[{bar:<20}] {done} pictures {rate:6.1f}/s {eta} | dec/dsp/ai " + " ".join(loads))


def frame_pts(frame: Any) -> int:
    """The picture's time stamp: the pts of the stream it began in. The frame
    record keeps it at byte 72, which the record's class does not expose."""
    return int(kycm.getNumpyFromHandle(frame, 128)[72:80].view(np.int64)[0])


def open_channels(dies: list[Die], codec: Any) -> list[int]:
    """One decoder channel of `codec` on each die. Channel numbers run die
    after die, so each die's are found by asking the decoder where a channel
    it made lives."""
    parameters = kyme.decChannelParamters()
    parameters.codecType = codec
    parameters.pixelFormat = kyme.pixelFormat.KYME_PIX_FMT_NV12
    parameters.extraBufferNumber = 4
    wanted = {die.device for die in dies}
    found: dict[int, int] = {}
    number, misses = 0, 0
    status = kyme.decStatus()
    while wanted - set(found) and misses < 4096:
        code = kyme.createDecoderChannel(parameters, number)
        if code == 0:
            kyme.getDecoderStatus(number, status)
            device = status.hardwareID.dieID
            if device in wanted and device not in found:
                found[device] = number
                misses = 0
            else:
                kyme.destroyDecoderChannel(number)
                misses += 1
        else:
            misses += 1
        number += 1
    if wanted - set(found):
        for channel in found.values():
            kyme.destroyDecoderChannel(channel)
        raise RuntimeError("no free decoder channel on every die")
    channels = [found[die.device] for die in dies]
    for channel in channels:
        check(kyme.startDecoder(channel), "startDecoder")
    return channels


# ---------------------------------------------------------------- feeding


def nal_kind(unit: bytes, hevc: bool) -> tuple[str, bool]:
    """("param", "idr", "slice" or "other") and whether a slice starts a picture."""
    zeros = 0
    while zeros < len(unit) and unit[zeros] == 0:
        zeros += 1
    at = zeros + 1
    if at >= len(unit):
        return "other", False
    header = unit[at]
    if hevc:
        kind = (header >> 1) & 0x3F
        first = at + 2 < len(unit) and bool(unit[at + 2] & 0x80)
        if kind in (32, 33, 34):
            return "param", False
        if kind in (19, 20):
            return "idr", first
        return ("slice", first) if kind <= 21 else ("other", False)
    kind = header & 0x1F
    first = at + 1 < len(unit) and bool(unit[at + 1] & 0x80)  # first_mb_in_slice == 0
    if kind in (7, 8):
        return "param", False
    if kind == 5:
        return "idr", first
    return ("slice", first) if kind == 1 else ("other", False)


class Feeder:
    """Feeds one channel its share of an input: for video, every n-th group
    of pictures (a group starts at an IDR picture) with the parameter sets it
    needs; for a JPEG folder, every n-th file."""

    def __init__(self, item: Input, index: int, count: int, channel: int, stats: Stats,
                 stopped: Callable[[], bool]) -> None:
        self.item, self.index, self.count, self.channel, self.stats = item, index, count, channel, stats
        self.stopped = stopped
        self.group = -1
        self.groups: dict[int, int] = {}  # pts sent -> picture group
        self.pictures_sent = 0
        self.first_sent: float | None = None
        if index == 0:
            with stats.lock:
                stats.bytes_total += sum(p.stat().st_size for p in item.paths)

    def group_of(self, pts: int) -> int:
        return self.groups.get(pts, 0)

    def send(self, stream: Any) -> None:
        while (code := kyme.sendStreamToDecoder(self.channel, stream, 200)) == TIMEOUT:
            if self.stopped():
                raise RuntimeError("the pipeline stopped")
        check(code, "sendStreamToDecoder")
        if self.first_sent is None:
            self.first_sent = time.perf_counter()

    def send_bytes(self, unit: bytes, pts: int, group: int) -> None:
        data = np.frombuffer(unit, np.uint8).copy()
        stream = kyme.stream()
        kyme.setStreamData(stream, data)
        stream.pts = pts
        self.groups[pts] = group
        self.send(stream)

    def run_video(self) -> None:
        reader = kyme.H264Reader(str(self.item.paths[0]))
        reader.init()
        stream = kyme.stream()
        hevc = self.item.kind == "hevc"
        group, mine = -1, False
        prefix: list[tuple[bytes, int]] = []  # units since the last slice
        parameters: list[bytes] = []  # the latest run of parameter sets
        last_was_param = False
        try:
            while reader.getStream(stream):
                unit = bytes(memoryview(stream))
                pts = int(stream.pts)
                if self.index == 0:
                    with self.stats.lock:
                        self.stats.bytes_done += len(unit)
                kind, first = nal_kind(unit, hevc)
                if kind in ("param", "other"):
                    if kind == "param":
                        parameters = (parameters if last_was_param else []) + [unit]
                    last_was_param = kind == "param"
                    prefix.append((unit, pts))
                    continue
                last_was_param = False
                if first and (kind == "idr" or group < 0):
                    group += 1
                    self.group = group
                    mine = group % self.count == self.index
                    if mine and not any(nal_kind(u, hevc)[0] == "param" for u, _ in prefix):
                        for number, unit_bytes in enumerate(parameters):
                            self.send_bytes(unit_bytes, -1 - number - 1000 * group, group)
                if mine:
                    for unit_bytes, unit_pts in prefix:
                        self.send_bytes(unit_bytes, unit_pts, group)
                    self.groups[pts] = group
                    self.send(stream)
                    self.pictures_sent += int(first)
                prefix = []
            if mine:
                for unit_bytes, unit_pts in prefix:
                    self.send_bytes(unit_bytes, unit_pts, group)
        finally:
            reader.release()
            self.send(kyme.stream())  # the end of the stream

    def run_jpeg(self) -> None:
        stream = kyme.stream()
        try:
            for number, path in enumerate(self.item.paths):
                if number % self.count != self.index:
                    continue
                reader = kyme.JpegReader(str(path))
                reader.init()
                try:
                    with self.stats.lock:
                        self.stats.bytes_done += path.stat().st_size
                    if not reader.getStream(stream):
                        with self.stats.lock:
                            self.stats.skipped += 1
                            self.stats.failures.append(f"{path}: no end of image")
                        continue
                    stream.pts = number
                    self.send(stream)
                    self.pictures_sent += 1
                finally:
                    reader.release()
        finally:
            self.send(kyme.stream())


# ---------------------------------------------------------------- output


def write_outputs(out: pathlib.Path, results: list[Result], model: Model,
                  signals: Signals) -> tuple[pathlib.Path, pathlib.Path, int]:
    """Writes the results and the contact sheet under partial names beside the
    previous run's files, and replaces those only when both are complete: a
    failing disk or an interruption leaves the previous outputs as they were."""
    results.sort(key=lambda r: (r.group, r.order))
    lines = []
    for index, r in enumerate(results):
        line: dict[str, Any] = {"picture": index, "file": r.source, "pts": r.pts, "device": r.die,
                                "class": model.label(r.top), "score": round(r.score, 4)}
        if r.edges is not None:
            line["edge_energy"] = round(r.edges, 4)
        lines.append(json.dumps(line) + "\n")
    jsonl, sheet = out / "results.jsonl", out / "contact_sheet.png"
    jsonl_partial, sheet_partial = out / "results.partial.jsonl", out / "contact_sheet.partial.png"
    kept = f"the previous {jsonl.name} and {sheet.name} are kept"
    with signals.held():
        write_whole_lines(jsonl_partial, lines, kept)
        try:
            count = contact_sheet(sheet_partial, [(i, r) for i, r in enumerate(results) if r.thumbnail is not None],
                                  model)
            with open(sheet_partial, "rb") as written:
                os.fsync(written.fileno())
        except OSError as error:
            sheet_partial.unlink(missing_ok=True)
            raise UserError(f"{sheet_partial}: cannot be written ({error.strerror or error}); {kept}") from None
        os.replace(jsonl_partial, jsonl)
        os.replace(sheet_partial, sheet)
    return jsonl, sheet, count


def write_whole_lines(path: pathlib.Path, lines: list[str], kept: str) -> None:
    """Writes `lines` (each ending in a newline) to `path` and flushes them to
    the disk. When the disk fails, the file is cut back to its last whole line
    and UserError says so: a reader never finds half a line."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    whole = 0  # bytes of whole lines in the file
    try:
        chunk: list[str] = []
        for number, line in enumerate(lines, 1):
            chunk.append(line)
            if len(chunk) < 512 and number < len(lines):
                continue
            data = memoryview("".join(chunk).encode())
            written = 0
            while written < len(data):  # a nearly full disk takes part of a write
                written += os.write(descriptor, data[written:])
            whole += len(data)
            chunk = []
        os.fsync(descriptor)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.ftruncate(descriptor, whole)
        raise UserError(f"{path}: cannot be written ({error.strerror or error}); {kept}") from None
    finally:
        os.close(descriptor)


def contact_sheet(path: pathlib.Path, sampled: list[tuple[int, Result]], model: Model) -> int:
    """Thumbnails of up to SHEET_COLUMNS x SHEET_ROWS pictures spread over the
    run, each labelled with its picture number and result."""
    from PIL import Image, ImageDraw

    cells = SHEET_COLUMNS * SHEET_ROWS
    if len(sampled) > cells:
        step = len(sampled) / cells
        sampled = [sampled[int(i * step)] for i in range(cells)]
    label_height = 18
    width, height = SHEET_COLUMNS * THUMB[0], SHEET_ROWS * (THUMB[1] + label_height)
    sheet = Image.new("RGB", (width, height), (24, 24, 24))
    draw = ImageDraw.Draw(sheet)
    for cell, (index, result) in enumerate(sampled):
        x, y = (cell % SHEET_COLUMNS) * THUMB[0], (cell // SHEET_COLUMNS) * (THUMB[1] + label_height)
        assert result.thumbnail is not None
        sheet.paste(Image.fromarray(result.thumbnail), (x, y))
        text = f"#{index} {model.label(result.top)} {result.score:.2f}"
        if result.edges is not None:
            text += f" e{result.edges:.2f}"
        draw.text((x + 4, y + THUMB[1] + 3), text, fill=(230, 230, 230))
    sheet.save(path)
    return len(sampled)


def summary(pipeline: Pipeline, elapsed: float, inputs: list[Input], jsonl: pathlib.Path, sheet: pathlib.Path,
            thumbnails: int) -> str:
    stats, dies = pipeline.stats, pipeline.dies
    pictures = len(stats.results)
    n = max(len(dies), 1)

    def rate(seconds: float, per_die: bool) -> str:
        spent = seconds / n if per_die else seconds
        return f"{pictures / spent:9.1f}" if spent > 0 else "        -"

    names = ", ".join(i.name for i in inputs)
    rows = [
        f"quillon pipeline: {pictures} pictures from {names} on {len(dies)} dies in {elapsed:.2f} s",
        f"  model: {pipeline.model.path.name} ({pipeline.model.width}x{pipeline.model.height} input)"
        + (", preprocessing: fusion op" if dies and dies[0].op is not None else ", preprocessing: resize + cvtColor"),
        "",
        "  stage        time (s)  pictures/s   what is timed",
        f"  decode       {stats.decode_s:8.2f} {rate(stats.decode_s, True)}   first stream sent to last picture, summed over channels",
        f"  preprocess   {stats.preprocess_s:8.2f} {rate(stats.preprocess_s, True)}   preprocessing calls, summed over dies",
        f"  infer        {stats.infer_s:8.2f} {rate(stats.infer_s, True)}   stream requests running, summed over dies",
        f"  whole run    {elapsed:8.2f} {rate(elapsed, False)}",
        "",
        "  die   pictures   peak device memory",
    ]
    for die in dies:
        rows.append(f"  {die.label:<5} {stats.per_die[die.device]:8d}   {die.peak_memory / 2**20:7.1f} MiB"
                    f" of {die.memory_total / 2**20:.0f} MiB")
    rows.append("")
    rows.append(f"  skipped (corrupt or failed): {stats.skipped}")
    for failure in stats.failures[:5]:
        rows.append(f"    {failure}")
    rows.append(f"  results: {jsonl}")
    rows.append(f"  contact sheet: {sheet} ({thumbnails} pictures)")
    return "\n".join(rows)


# ---------------------------------------------------------------- main


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="quillon-pipeline", description="Decode, preprocess and infer on every die of the accelerator.",
        epilog="Without inputs a demo clip of moving coloured shapes is made (once) with the card's encoder.")
    parser.add_argument("inputs", nargs="*", metavar="INPUT",
                        help="H.264 or HEVC elementary stream files, or folders of JPEG files")
    parser.add_argument("--model", metavar="FILE.onnx", help="an ONNX model with one 1x3xHxW input "
                        "(default: the built-in dominant-colour model)")
    parser.add_argument("--out", default="out", metavar="FOLDER", help="output folder (default: out/)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--demo-pictures", type=int, default=DEMO_PICTURES, metavar="N",
                        help=f"pictures in the demo clip (default {DEMO_PICTURES})")
    parser.add_argument("--cache", metavar="FOLDER", help="where the demo clip and the built-in model are kept "
                        "(default: $XDG_CACHE_HOME/quillon or ~/.cache/quillon)")
    args = parser.parse_args(argv)
    if args.demo_pictures <= 0:
        parser.error("--demo-pictures needs a positive number")
    return args


def cache_folder(args: argparse.Namespace) -> pathlib.Path:
    if args.cache:
        return pathlib.Path(args.cache)
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


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    with Signals() as signals:
        try:
            return run(args, signals)
        except UserError as error:
            print(f"quillon-pipeline: error: {error}", file=sys.stderr)
            return 2
        except KeyboardInterrupt:
            sys.stderr.write(MESSAGE_INTERRUPTED)
            return 130


def run(args: argparse.Namespace, signals: Signals) -> int:
    out = pathlib.Path(args.out)
    inputs = collect_inputs(args.inputs)
    model_path = pathlib.Path(args.model) if args.model else None
    if model_path is not None:
        readable(model_path)
    writable_folder(out)
    cache = cache_folder(args)

    check(kycm.initialize(), "initialize")
    check(kyme.systemInitialize(), "systemInitialize")
    status = kyml.init()
    managed = status == kyml.opStatus.KYML_SUCCESS
    pipeline: Pipeline | None = None
    try:
        if not inputs:
            width, height = DEMO_SIZE
            clip = demo_clip(cache, width, height, args.demo_pictures, args.quiet)
            inputs = [Input("h264", [clip], str(clip))]
        model = Model(model_path or builtin_model(cache), model_path is None)
        pipeline = Pipeline(model, args.quiet)
        pipeline.open()
        started = time.perf_counter()
        pipeline.started = started
        group_base = 0
        for item in inputs:
            group_base += pipeline.run_input(item, group_base)
        pipeline.sample_memory()
        elapsed = time.perf_counter() - started
        progress_line(args.quiet, "")
        jsonl, sheet, thumbnails = write_outputs(out, pipeline.stats.results, model, signals)
        print(summary(pipeline, elapsed, inputs, jsonl, sheet, thumbnails))
        if not pipeline.stats.results:
            print("quillon-pipeline: error: no picture could be decoded", file=sys.stderr)
            return 1
        return 0
    finally:
        with signals.held():
            if pipeline is not None:
                pipeline.close()
            if managed:
                kyml.shutDown()
            kyme.systemUninitialize()
            kycm.uninitialize()


if __name__ == "__main__":
    sys.exit(main())
