"""kycl end to end: models built with onnx's helpers run through op graphs and streams against numpy; refusals;
reports delivered to Python callables on the stream's thread."""
import threading

import numpy as np
import pytest
from onnx import TensorProto, helper

from conftest import device_info, download, onnx_model, quillon, upload

kycl, kycm = quillon.kycl, quillon.kycm
CT = kycm.copyMemType
INVALID_HANDLE, INVALID_GRAPH, NOT_BUILT, BATCH_TOO_LARGE = 100005, 302001, 302002, 302006
W = (np.arange(12, dtype=np.float32).reshape(4, 3) - 5) / 10


def save(tmp_path, name, *graph):
    return str(onnx_model(tmp_path / f"{name}.onnx", *graph))


def dense(tmp_path, batch=2, out_type=TensorProto.FLOAT):
    """z = relu(x @ W), cast to `out_type`."""
    nodes = [helper.make_node("MatMul", ["x", "W"], ["y"]), helper.make_node("Relu", ["y"], ["r"]),
             helper.make_node("Cast", ["r"], ["z"], to=out_type)]
    return save(tmp_path, f"dense{out_type}", nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT, [batch, 4])],
                [helper.make_tensor_value_info("z", out_type, [batch, 3])], [("W", W)])


def inputs(*arrays):
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    for array in arrays:
        buffer = kycm.createDataBuffer(device_info(), upload(array), np.asarray(array).nbytes)
        assert kycm.addDatasetBuffer(dataset, buffer) == 0
    return dataset


def read(dataset, index, dtype):
    buffer = kycm.getDatasetBuffer(dataset, index)
    return download(kycm.getDataBufferAddr(buffer), kycm.getDataBufferSize(buffer)).view(dtype)


def stream_for(model, mode=kycl.balance_mode.kyclBM_ONCE, input_count=1):
    """A graph running the model on its `input_count` inputs, and a stream of it (not built)."""
    graph = kycl.createOpGraph()
    op = kycl.createRunModelOp(model)
    for k in range(input_count):
        assert kycl.connectOps(kycl.createGraphInputOp(graph, k), op) == 0
    assert kycl.registerGetOutputs(graph, [op]) == 0
    stream = kycl.createOpStream(graph, mode)
    return graph, stream


@pytest.mark.parametrize("out_type, dtype, kind, rtol, atol", [
    (TensorProto.FLOAT, np.float32, kycm.dType.kycmDT_FLOAT32, 1e-5, 1e-6),
    (TensorProto.FLOAT16, np.float16, kycm.dType.kycmDT_FLOAT16, 1e-3, 1e-3),  # float16 outputs stay float16
])
def test_a_model_describes_itself_and_runs_as_numpy_computes(runtime, tmp_path, out_type, dtype, kind, rtol, atol):
    model = kycl.createModel(dense(tmp_path, out_type=out_type), "", "", "")
    shape = kycm.shape()
    assert kycl.getModelInputShapeByIndex(model, 0, shape) == 0 and shape.shapes == [2, 4] and shape.ndims == 2
    assert (kycl.getModelInputCount(model), kycl.getModelOutputCount(model)) == (1, 1)
    assert kycl.getModelOutputSizeByIndex(model, 0) == 6 * np.dtype(dtype).itemsize
    assert kycl.getModelOutputDataTypeByIndex(model, 0) == kind
    assert kycl.getModelInputShapeByIndex(model, 1, shape) != 0 and shape.shapes == []
    graph, stream = stream_for(model)
    assert kycl.runStream(stream, None, None, 0) == NOT_BUILT and kycl.buildStream(stream) == 0
    x = np.linspace(-1, 1, 8, dtype=np.float32).reshape(2, 4)
    out = kycl.requestOutputDataset(stream)
    assert kycl.runStream(stream, inputs(x), out, 0) == 0
    np.testing.assert_allclose(read(out, 0, dtype).reshape(2, 3), np.maximum(x @ W, 0), rtol=rtol, atol=atol)
    # A buffer smaller than the model's input is refused, not overrun.
    assert kycl.runStream(stream, inputs(x[:1]), out, 0) != 0
    assert kycl.destroyOpStream(stream) == 0 and kycl.destroyOpStream(stream) == INVALID_HANDLE
    assert kycl.destroyModel(model) == 0
    pytest.raises(RuntimeError, kycl.getModelInputCount, model).match("get model input count error")
    assert kycl.destroyOpGraph(graph) == 0


def test_symbolic_batch_sets_shapes_and_refuses_batches_above_the_maximum(runtime, tmp_path):
    model = kycl.createDynamicModel(dense(tmp_path, batch="N"), "")
    limit = kycl.getModelMaxBatchSize(model)
    assert kycl.getModelBatchSize(model) == 1 and limit >= 8
    assert kycl.setModelBatchSize(model, limit + 1) == BATCH_TOO_LARGE
    shape = kycm.shape()
    shape.ndims, shape.shapes = 2, [5, 4]
    assert kycl.setDynamicModelInputShape(model, [shape]) == 0 and kycl.getModelBatchSize(model) == 5
    out_shape = kycm.shape()
    assert kycl.getModelOutputShapeByIndex(model, 0, out_shape) == 0 and out_shape.shapes == [5, 3]
    shape.shapes = [5, 7]  # the fixed dimension cannot change
    assert kycl.setDynamicModelInputShape(model, [shape]) != 0
    assert kycl.setDynamicModelInputShape(model, []) != 0
    shape.ndims, shape.shapes = 7, [1] * 7
    pytest.raises(ValueError, kycl.setDynamicModelInputShape, model, [shape])
    _, stream = stream_for(model)
    assert kycl.buildStream(stream) == 0
    x = np.linspace(-2, 2, 20, dtype=np.float32).reshape(5, 4)
    out = kycl.requestOutputDataset(stream)
    assert kycl.runStream(stream, inputs(x), out, 0) == 0
    np.testing.assert_allclose(read(out, 0, np.float32).reshape(5, 3), np.maximum(x @ W, 0), rtol=1e-5, atol=1e-6)


def test_bad_graphs_and_handles_are_refused_with_codes(runtime, tmp_path):
    model = kycl.createModel(dense(tmp_path), "", "", "")
    graph = kycl.createOpGraph()
    first, second = kycl.createRunModelOp(model), kycl.createRunModelOp(model)
    stream = kycl.createOpStream(graph, kycl.balance_mode.kyclBM_ONCE)
    assert kycl.buildStream(stream) == INVALID_GRAPH  # no outputs
    assert kycl.registerGetOutput(graph, second) == 0
    assert kycl.buildStream(stream) == INVALID_GRAPH  # second is fed by nothing
    assert kycl.connectOps(first, second) == 0 and kycl.connectOps(second, first) == 0
    assert kycl.buildStream(stream) == INVALID_GRAPH  # a cycle
    assert kycl.connectOps(graph, first) == INVALID_HANDLE
    assert kycl.registerGetOutputs(graph, [None]) == INVALID_HANDLE
    pytest.raises(RuntimeError, kycl.createRunModelOp, graph).match("create graph run model op error")
    with pytest.raises(RuntimeError, match="create model error"):
        kycl.createModel(str(tmp_path / "missing.onnx"), "", "", "")
    (tmp_path / "junk.onnx").write_bytes(b"\x08\x07not a model")
    pytest.raises(RuntimeError, kycl.createModel, str(tmp_path / "junk.onnx"), "", "", "").match("create model error")
    pytest.raises(TypeError, kycl.createOpStream, graph, None)
    pytest.raises(TypeError, kycl.subscribeStreamReport, stream, None, None)


def test_reports_reach_python_from_the_stream_thread_in_order(runtime, tmp_path):
    model = kycl.createModel(dense(tmp_path), "", "", "")
    _, stream = stream_for(model)
    assert kycl.buildStream(stream) == 0
    seen, other, main = [], [], threading.get_ident()

    def failing(*args):
        raise ValueError("a callback that fails")

    assert kycl.subscribeStreamReport(stream, lambda a, b, c, s, u: seen.append((b, c, s.errorCode, u,
                                                                                 threading.get_ident())), "tag") == 0
    assert kycl.subscribeStreamReport(stream, failing, None) == 0
    assert kycl.subscribeStreamReport(stream, lambda *args: other.append(args[3].isStreamEnd), None) == 0
    requests = []
    for k in range(200):
        x = np.full((2, 4), k / 100, np.float32)
        requests.append((x, inputs(x), kycl.requestOutputDataset(stream)))
    unraisable = []
    import sys
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        for _, ins, outs in requests:
            assert kycl.runStreamAsync(stream, ins, outs) == 0
        assert kycl.synchronizeStream(stream, 0) == 0
    finally:
        sys.unraisablehook = hook
    assert kycl.getStreamCacheNumber(stream) == 0
    assert len(seen) == len(other) == len(unraisable) == 200 and other[-1] is True
    assert all(code == 0 and user == "tag" and thread != main for _, _, code, user, thread in seen)
    for (x, _, outs), (_, reported_out, _, _, _) in zip(requests, seen):
        assert kycm.getDataBufferAddr(kycm.getDatasetBuffer(reported_out, 0)) is not None
        np.testing.assert_allclose(read(outs, 0, np.float32).reshape(2, 3), np.maximum(x @ W, 0), atol=1e-5)
