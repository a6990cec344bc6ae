"""The demo clip and the built-in model, both made at first use and kept in
the cache folder, so that the main job runs with no input at all.

The clip: moving coloured shapes on a background whose colour changes every
two seconds, drawn with numpy and encoded to H.264 in MP4 on the card's
encoder, with a random-access picture every half second (where the dies
share it). The model: fixed weights a person can check by eye; it names the
dominant colour of a picture and measures its edge energy.
"""
from __future__ import annotations

import contextlib
import os
import pathlib
import threading
from typing import Callable, Dict, Iterator, Tuple

import numpy as np
import numpy.typing as npt

from .errors import CacheError

# Colour classes of the built-in model, with the RGB colour each stands for.
COLOURS: Dict[str, Tuple[int, int, int]] = {
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
DEMO_KEY_INTERVAL = 15   # a random-access picture every half second: where the dies share the clip


@contextlib.contextmanager
def cache_written(cache: pathlib.Path) -> Iterator[None]:
    try:
        yield
    except OSError as error:
        raise CacheError(f"{cache}: the cache folder cannot be written ({error.strerror or error})") from None


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


def paint(region: npt.NDArray[np.uint8], colour: Tuple[int, int, int]) -> None:
    # One row of the colour copied down the region: much faster than
    # broadcasting three values over every pixel.
    region[...] = np.tile(np.asarray(colour, np.uint8), (region.shape[1], 1))


def demo_clip(cache: pathlib.Path, count: int, progress: Callable[[str], None]) -> pathlib.Path:
    """The demo clip of `count` pictures, made once and kept in `cache`."""
    import quillon

    width, height = DEMO_SIZE
    path = cache / f"demo-{width}x{height}-{count}-k{DEMO_KEY_INTERVAL}.mp4"
    if path.is_file() and path.stat().st_size > 0:
        return path
    # A partial name of its own: runs sharing the cache may make the clip at once.
    partial = path.with_name(f"{path.stem}.{os.getpid()}.{threading.get_ident()}.part.mp4")
    with cache_written(cache):
        cache.mkdir(parents=True, exist_ok=True)
        try:
            with quillon.encode(partial, width, height, fps=DEMO_RATE, key_interval=DEMO_KEY_INTERVAL) as writer:
                for index in range(count):
                    writer.write(demo_picture(index, width, height))
                    progress(f"making the demo clip: {index + 1}/{count} pictures")
            partial.replace(path)
        finally:
            partial.unlink(missing_ok=True)
            progress("")
    return path


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
    # Workers of a cluster on one host may make it at once: each writes its own.
    partial = path.with_name(f"{path.name}.{os.getpid()}.{threading.get_ident()}.part")
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
