"""Models built here match numpy's computation of the same graph (float32
within rtol 1e-4, atol 1e-5): a small convolutional classifier, and a model
with a uint8 and a float input and two outputs declared in an order OpenCV
would not list them in."""
import numpy as np
from numpy.lib.stride_tricks import sliding_window_view
from onnx import TensorProto as T, helper

from test_models_and_streams import inputs, kycl, read, save, stream_for

rng = np.random.default_rng(7)
KERNELS, CLASSES = rng.standard_normal((2, 1, 3, 3)).astype(np.float32), rng.standard_normal((2, 3)).astype(np.float32)
value = helper.make_tensor_value_info


def run_once(path, arrays, shapes):
    _, stream = stream_for(kycl.createModel(path, "", "", ""), input_count=len(arrays))
    out = kycl.requestOutputDataset(stream) if kycl.buildStream(stream) == 0 else None
    assert kycl.runStream(stream, inputs(*arrays), out, 0) == 0
    return [read(out, i, np.float32).reshape(shape) for i, shape in enumerate(shapes)]


def test_models_compute_what_numpy_computes(runtime, tmp_path):
    conv = [helper.make_node("Conv", ["x", "k"], ["c"], kernel_shape=[3, 3]), helper.make_node("Relu", ["c"], ["r"]),
            helper.make_node("GlobalAveragePool", ["r"], ["p"]), helper.make_node("Flatten", ["p"], ["f"]),
            helper.make_node("MatMul", ["f", "w"], ["l"]), helper.make_node("Softmax", ["l"], ["y"], axis=1)]
    path = save(tmp_path, "classifier", conv, [value("x", T.FLOAT, [1, 1, 6, 6])], [value("y", T.FLOAT, [1, 3])],
                [("k", KERNELS), ("w", CLASSES)])
    x = rng.standard_normal((1, 1, 6, 6)).astype(np.float32)
    features = np.maximum(np.einsum("ijkl,okl->oij", sliding_window_view(x[0, 0], (3, 3)), KERNELS[:, 0]), 0)
    logits = features.mean(axis=(1, 2)) @ CLASSES
    (got,) = run_once(path, [x], [(3,)])
    np.testing.assert_allclose(got, np.exp(logits) / np.exp(logits).sum(), rtol=1e-4, atol=1e-5)

    pair = [helper.make_node("Cast", ["a"], ["af"], to=T.FLOAT), helper.make_node("Add", ["af", "b"], ["zsum"]),
            helper.make_node("Mul", ["af", "b"], ["aprod"])]
    path = save(tmp_path, "pair", pair, [value("a", T.UINT8, [2, 3]), value("b", T.FLOAT, [2, 3])],
                [value("zsum", T.FLOAT, [2, 3]), value("aprod", T.FLOAT, [2, 3])])
    a, b = np.array([[0, 1, 127], [128, 254, 255]], np.uint8), rng.standard_normal((2, 3)).astype(np.float32)
    total, product = run_once(path, [a, b], [(2, 3)] * 2)
    np.testing.assert_allclose(total, a + b, rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(product, a * b, rtol=1e-4, atol=1e-5)
