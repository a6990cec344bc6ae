"""Models of several kinds built here run through streams and match numpy's
computation of the same graph: a small convolutional classifier, a model
with two inputs and two outputs (declared in an order OpenCV would not list
them in), and a uint8-input model. Float32 results within rtol 1e-4, atol 1e-5."""
import numpy as np
from onnx import TensorProto, helper
from numpy.lib.stride_tricks import sliding_window_view

from test_models_and_streams import inputs, kycl, kycm, read, save

TOLERANCE = {"rtol": 1e-4, "atol": 1e-5}
rng = np.random.default_rng(7)
KERNELS = rng.standard_normal((2, 1, 3, 3)).astype(np.float32)
CLASSES = rng.standard_normal((2, 3)).astype(np.float32)


def run_once(model, arrays, outputs):
    graph, op = kycl.createOpGraph(), kycl.createRunModelOp(model)
    for k in range(len(arrays)):
        assert kycl.connectOps(kycl.createGraphInputOp(graph, k), op) == 0
    assert kycl.registerGetOutput(graph, op) == 0
    stream = kycl.createOpStream(graph, kycl.balance_mode.kyclBM_ONCE)
    assert kycl.buildStream(stream) == 0
    out = kycl.requestOutputDataset(stream)
    assert kycl.runStream(stream, inputs(*arrays), out, 0) == 0
    return [read(out, i, dtype).reshape(shape) for i, (dtype, shape) in enumerate(outputs)]


def test_a_convolutional_classifier_gives_numpys_probabilities(runtime, tmp_path):
    nodes = [helper.make_node("Conv", ["x", "k"], ["c"], kernel_shape=[3, 3]), helper.make_node("Relu", ["c"], ["r"]),
             helper.make_node("GlobalAveragePool", ["r"], ["p"]), helper.make_node("Flatten", ["p"], ["f"]),
             helper.make_node("MatMul", ["f", "w"], ["l"]), helper.make_node("Softmax", ["l"], ["y"], axis=1)]
    path = save(tmp_path, "classifier", nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 1, 6, 6])],
                [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 3])], [("k", KERNELS), ("w", CLASSES)])
    x = rng.standard_normal((1, 1, 6, 6)).astype(np.float32)
    windows = sliding_window_view(x[0, 0], (3, 3))  # 4x4 windows of 3x3
    features = np.maximum(np.einsum("ijkl,okl->oij", windows, KERNELS[:, 0]), 0).mean(axis=(1, 2))
    logits = features @ CLASSES
    expected = np.exp(logits - logits.max()) / np.exp(logits - logits.max()).sum()
    (got,) = run_once(kycl.createModel(path, "", "", ""), [x], [(np.float32, (1, 3))])
    np.testing.assert_allclose(got[0], expected, **TOLERANCE)


def test_two_inputs_and_two_outputs_keep_the_files_order(runtime, tmp_path):
    value = lambda name: helper.make_tensor_value_info(name, TensorProto.FLOAT, [2, 3])  # noqa: E731
    nodes = [helper.make_node("Add", ["a", "b"], ["zsum"]), helper.make_node("Mul", ["a", "b"], ["aprod"])]
    model = kycl.createModel(save(tmp_path, "pair", nodes, [value("a"), value("b")], [value("zsum"), value("aprod")]),
                             "", "", "")
    assert (kycl.getModelInputCount(model), kycl.getModelOutputCount(model)) == (2, 2)
    a, b = rng.standard_normal((2, 2, 3)).astype(np.float32)
    total, product = run_once(model, [a, b], [(np.float32, (2, 3))] * 2)
    np.testing.assert_allclose(total, a + b, **TOLERANCE)
    np.testing.assert_allclose(product, a * b, **TOLERANCE)


def test_uint8_input_is_taken_as_bytes(runtime, tmp_path):
    nodes = [helper.make_node("Cast", ["x"], ["f"], to=TensorProto.FLOAT), helper.make_node("Mul", ["f", "s"], ["y"])]
    path = save(tmp_path, "bytes", nodes, [helper.make_tensor_value_info("x", TensorProto.UINT8, [1, 8])],
                [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 8])], [("s", np.array([0.5], np.float32))])
    model = kycl.createModel(path, "", "", "")
    shape = kycm.shape()
    assert kycl.getModelInputShapeByIndex(model, 0, shape) == 0 and shape.shapes == [1, 8]
    x = np.array([[0, 1, 2, 127, 128, 200, 254, 255]], np.uint8)
    (got,) = run_once(model, [x], [(np.float32, (1, 8))])
    np.testing.assert_allclose(got, x.astype(np.float32) * 0.5, **TOLERANCE)
