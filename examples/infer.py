"""Run an ONNX model file through kycl on an image (or random input) and print
its outputs.

    python3 examples/infer.py model.onnx                 # random input
    python3 examples/infer.py model.onnx picture.png     # resized to the input, NCHW, scaled to [0, 1]

The model runs in a stream: a graph input op feeds a run-model op whose
outputs are registered, the input goes to device memory, and the outputs
come back from the dataset the stream gives for them.
"""
import argparse
import os
from typing import Any, Dict, List, Optional, Sequence

import numpy as np
import numpy.typing as npt

import _quillon_pybind11 as quillon

kycl, kycm = quillon.kycl, quillon.kycm
CT = kycm.copyMemType
NUMPY: Dict[Any, Any] = {kycm.dType.kycmDT_FLOAT32: np.float32, kycm.dType.kycmDT_FLOAT16: np.float16,
         kycm.dType.kycmDT_UINT8: np.uint8, kycm.dType.kycmDT_INT8: np.int8, kycm.dType.kycmDT_INT32: np.int32,
         kycm.dType.kycmDT_INT16: np.int16, kycm.dType.kycmDT_UINT16: np.uint16}


def input_array(shape: Sequence[int], image: Optional[str]) -> npt.NDArray[np.float32]:
    if image is None:
        return np.random.default_rng(0).random(shape, dtype=np.float32)
    # An image input is N x C x H x W or N x H x W x C, with 1 or 3 channels.
    dims = list(shape)
    if len(dims) == 4 and dims[1] in (1, 3):
        channels_last, (channels, height, width) = False, dims[1:]
    elif len(dims) == 4 and dims[3] in (1, 3):
        channels_last, (height, width, channels) = True, dims[1:]
    else:
        raise SystemExit(f"the model's first input is {dims}, not an image (N x C x H x W or N x H x W x C, "
                         "C 1 or 3): run it without a picture")
    from PIL import Image
    try:
        with Image.open(image) as opened:
            picture = opened.convert("RGB" if channels == 3 else "L").resize((width, height))
    except OSError as error:  # missing, unreadable or not a picture
        raise SystemExit(f"{image}: not a picture Pillow can read ({error})") from None
    pixels = np.asarray(picture, np.float32).reshape(height, width, channels) / 255
    layout = pixels if channels_last else pixels.transpose(2, 0, 1)
    return np.ascontiguousarray(np.broadcast_to(layout, dims), np.float32)


def device_dataset(arrays: List[npt.NDArray[np.float32]]) -> Any:
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    info = kycm.deviceInfo()
    info.deviceType, info.deviceIdx = kycm.deviceType.kycmDE_KYCC, 0
    for array in arrays:
        data = array.view(np.uint8).reshape(-1)
        address = kycm.malloc(len(data))
        assert kycm.memcpy(kycm.getHandleFromNumpy(data), address, len(data), CT.kycmCT_COPY_TO_DEVICE) == 0
        kycm.addDatasetBuffer(dataset, kycm.createDataBuffer(info, address, len(data)))
    return dataset


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("model")
    parser.add_argument("image", nargs="?")
    args = parser.parse_args()
    assert kycm.initialize() == 0
    if not os.path.isfile(args.model):
        raise SystemExit(f"{args.model}: no such file")
    try:
        model = kycl.createModel(args.model, "", "", "")
    except RuntimeError as error:
        raise SystemExit(f"{args.model}: not a model the runtime can load ({error})") from None
    graph, op = kycl.createOpGraph(), kycl.createRunModelOp(model)
    arrays = []
    for index in range(kycl.getModelInputCount(model)):  # the image feeds the first input, noise the others
        shape = kycm.shape()
        kycl.getModelInputShapeByIndex(model, index, shape)
        arrays.append(input_array(shape.shapes, args.image if index == 0 else None))
        kycl.connectOps(kycl.createGraphInputOp(graph, index), op)
    kycl.registerGetOutput(graph, op)
    stream = kycl.createOpStream(graph, kycl.balance_mode.kyclBM_ONCE)
    assert kycl.buildStream(stream) == 0
    outputs = kycl.requestOutputDataset(stream)
    code = kycl.runStream(stream, device_dataset(arrays), outputs, 0)
    if code != 0:
        raise SystemExit(f"runStream failed: {code}")
    for index in range(kycl.getModelOutputCount(model)):
        size = kycl.getModelOutputSizeByIndex(model, index)
        out_shape = kycm.shape()
        kycl.getModelOutputShapeByIndex(model, index, out_shape)
        host = kycm.getHandleFromNumpy(np.zeros(size, np.uint8))
        buffer = kycm.getDatasetBuffer(outputs, index)
        kycm.memcpy(kycm.getDataBufferAddr(buffer), host, size, CT.kycmCT_COPY_FROM_DEVICE)
        values = kycm.getNumpyFromHandle(host, size).view(NUMPY[kycl.getModelOutputDataTypeByIndex(model, index)])
        print(f"output {index} shape {out_shape.shapes}:\n{values.reshape(out_shape.shapes)}")
    kycl.destroyOpStream(stream), kycl.destroyOpGraph(graph), kycl.destroyModel(model)
    kycm.uninitialize()


if __name__ == "__main__":
    main()
