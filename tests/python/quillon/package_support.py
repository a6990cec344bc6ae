"""Helpers of the package's tests: `quillon` from the source tree over the module of the
build tree, ONNX models written at test time, pictures uploaded to a die."""

import numpy as np
import pytest
from onnx import TensorProto, helper

import quillon
from conftest import onnx_model as save, upload
from quillon import kycm


@pytest.fixture
def conv_net(tmp_path):
    """A small conv net of two outputs: class scores and the feature map."""
    weights = np.random.default_rng(7).standard_normal((8, 3, 3, 3)).astype(np.float32) * 0.3
    nodes = [helper.make_node("Conv", ["image", "W"], ["features"], pads=[1, 1, 1, 1], kernel_shape=[3, 3]),
             helper.make_node("Relu", ["features"], ["r"]), helper.make_node("GlobalAveragePool", ["r"], ["p"]),
             helper.make_node("Flatten", ["p"], ["scores"])]
    return save(tmp_path / "conv.onnx", nodes,
                [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 20, 28])],
                [helper.make_tensor_value_info("scores", TensorProto.FLOAT, [1, 8]),
                 helper.make_tensor_value_info("features", TensorProto.FLOAT, [1, 8, 20, 28])], [("W", weights)])


def identity(path, shape, kind=TensorProto.FLOAT):
    """A model whose output is its input: shows the input a model was given."""
    return save(path, [helper.make_node("Identity", ["x"], ["y"])], [helper.make_tensor_value_info("x", kind, shape)],
                [helper.make_tensor_value_info("y", kind, shape)])


class Picture:
    """A packed picture uploaded to a die, as a decoded frame presents it."""

    def __init__(self, pixels, fmt, device=0):
        self.format, self.device = fmt, device
        self.height, self.width = (pixels.shape[0] * 2 // 3 if fmt == "nv12" else pixels.shape[0]), pixels.shape[1]
        kycm.setDevice(device)
        self.device_address = upload(pixels)

    def free(self):
        kycm.free(self.device_address)
