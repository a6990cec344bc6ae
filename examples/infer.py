"""Run an ONNX model on a die, on a picture (or random input), and print its
outputs.

    python3 examples/infer.py model.onnx                 # random input
    python3 examples/infer.py model.onnx picture.png     # resized to the input, NCHW, scaled to [0, 1]
    python3 examples/infer.py model.onnx picture.png --device 1

With the package installed (pip), or from the clone with
PYTHONPATH=build/python:python. A model that cannot be loaded, a picture
that cannot be read or a model whose input is not 1 x 3 x H x W gets one
line on standard error and exit status 2.
"""
import argparse
import sys
from typing import Any, List, Optional

import numpy as np
import numpy.typing as npt

import quillon


def picture(tensor: quillon.TensorSpec, path: str) -> npt.NDArray[Any]:
    """The picture at `path` as the model's input: RGB, resized, channels
    first, in [0, 1]."""
    shape = tensor.shape
    if len(shape) != 4 or shape[0] != 1 or shape[1] != 3:
        raise ValueError(f"input {tensor.name} is {list(shape)}, not 1 x 3 x height x width: a picture cannot feed it "
                         "(a channels-last model?)")
    from PIL import Image
    with Image.open(path) as image:
        pixels = np.asarray(image.convert("RGB").resize((shape[3], shape[2])), np.float32) / 255
    return pixels.transpose(2, 0, 1)[np.newaxis]


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("model", help="ONNX model file")
    parser.add_argument("image", nargs="?", help="picture for the first input (default: random values)")
    parser.add_argument("--device", type=int, default=0, help="die to run on (default: 0)")
    args = parser.parse_args(argv)
    try:
        with quillon.Model(args.model, device=args.device) as model:
            random = np.random.default_rng(0)
            inputs = [picture(tensor, args.image) if index == 0 and args.image else
                      random.random(tensor.shape).astype(tensor.dtype) for index, tensor in enumerate(model.inputs)]
            outputs = model(inputs[0] if len(inputs) == 1 else inputs)
            for tensor, values in zip(model.outputs, outputs if len(model.outputs) > 1 else [outputs]):
                print(f"output {tensor.name} {list(tensor.shape)} {tensor.dtype}:\n{values}")
    except (quillon.Error, ValueError, OSError) as error:
        print(f"infer.py: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
