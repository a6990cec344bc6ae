"""Streams over time: batching, a thousand asynchronous requests in order in bounded memory, a stream outliving
its graph and model."""
import threading
import time
import weakref

import numpy as np
import pytest

from conftest import resident_bytes
from test_models_and_streams import CT, INVALID_HANDLE, W, dense, inputs, kycl, kycm, read, save, stream_for

WAIT = kycl.kyclER_WAIT_MORE_INPUT


def test_batching_mode_waits_for_a_full_batch_and_flushes_on_synchronize(runtime, tmp_path):
    model = kycl.createDynamicModel(dense(tmp_path, batch="N"), "")
    assert kycl.setModelBatchSize(model, 4) == 0
    _, stream = stream_for(model, kycl.balance_mode.kyclBM_RUN)
    assert kycl.buildStream(stream) == 0
    reports, rows = [], [np.full((1, 4), k / 4 - 1, np.float32) for k in range(10)]
    assert kycl.subscribeStreamReport(stream, lambda a, b, c, s, u: reports.append((s.errorCode, s.isStreamEnd)), 0) == 0
    outs = [kycl.requestOutputDataset(stream) for _ in rows]  # one request's row each
    # The request that fills the batch runs it for all four, here on the caller's thread.
    assert [kycl.runStream(stream, inputs(rows[k]), outs[k], 0) for k in range(4)] == [WAIT] * 3 + [0]
    assert [kycl.runStreamAsync(stream, inputs(rows[k]), outs[k]) for k in range(4, 10)] == [WAIT] * 3 + [0, WAIT, WAIT]
    assert kycl.getStreamCacheNumber(stream) >= 2
    assert kycl.synchronizeStream(stream, 0) == 0 and kycl.getStreamCacheNumber(stream) == 0
    ends = [end for _, end in reports]  # the 8th ends the stream when the 9th had not come yet
    assert ends[:7] + ends[8:] == [False] * 3 + [True] + [False] * 4 + [True] and {c for c, _ in reports} == {0}
    for row, out in zip(rows, outs):
        np.testing.assert_allclose(read(out, 0, np.float32), np.maximum(row @ W, 0)[0], atol=1e-6)


@pytest.mark.no_sanitizer
def test_a_thousand_async_requests_return_in_order_in_bounded_memory(runtime, tmp_path):
    _, stream = stream_for(kycl.createModel(dense(tmp_path), "", "", ""))
    assert kycl.buildStream(stream) == 0
    free, ring = threading.Semaphore(8), [(inputs(np.zeros(8, np.float32)), kycl.requestOutputDataset(stream))
                                          for _ in range(8)]
    wrong, done = [], []

    def report(a, ins, outs, status, user):  # report k must carry request k's own result
        x = np.full((2, 4), len(done) / 500 - 1, np.float32)
        if status.errorCode or not np.allclose(read(outs, 0, np.float32).reshape(2, 3), np.maximum(x @ W, 0), atol=1e-5):
            wrong.append(len(done))
        done.append(free.release())

    assert kycl.subscribeStreamReport(stream, report, None) == 0
    for k in range(1000):
        free.acquire()  # ring slot k % 8 last served request k - 8, reported by now
        ins, outs = ring[k % 8]
        x = np.full(8, k / 500 - 1, np.float32).view(np.uint8)
        address = kycm.getDataBufferAddr(kycm.getDatasetBuffer(ins, 0))
        assert kycm.memcpy(kycm.getHandleFromNumpy(x), address, 32, CT.kycmCT_COPY_TO_DEVICE) == 0
        assert kycl.runStreamAsync(stream, ins, outs) == 0
        start = resident_bytes() if k == 200 else start if k > 200 else 0
    assert kycl.synchronizeStream(stream, 0) == 0 and len(done) == 1000 and wrong == []
    assert resident_bytes() - start < 8 << 20


def test_a_stream_outlives_its_graph_and_model_and_ignores_later_connections(runtime, tmp_path):
    model = kycl.createModel(dense(tmp_path), "", "", "")
    graph, stream = stream_for(model)
    assert kycl.buildStream(stream) == 0
    # Connections made after building once made the stream read past the model's inputs.
    assert kycl.connectOps(kycl.createGraphInputOp(graph, 1), kycl.createRunModelOp(model)) == 0
    x, out = np.linspace(-1, 1, 8, dtype=np.float32).reshape(2, 4), kycl.requestOutputDataset(stream)
    assert kycl.destroyModel(model) == 0 and kycl.destroyOpGraph(graph) == 0
    # A report function may synchronise its own stream (it waited for itself until the time-out).
    codes = []
    assert kycl.subscribeStreamReport(stream, lambda *args: codes.append(kycl.synchronizeStream(stream, 3000)), 0) == 0
    assert kycl.runStreamAsync(stream, inputs(x), out) == 0 and kycl.synchronizeStream(stream, 0) == 0 and codes == [0]
    np.testing.assert_allclose(read(out, 0, np.float32).reshape(2, 3), np.maximum(x @ W, 0), atol=1e-6)
    assert kycl.destroyOpStream(stream) == 0
    assert kycl.runStreamAsync(stream, None, None) == kycl.synchronizeStream(stream, 9) == INVALID_HANDLE
    pytest.raises(RuntimeError, kycl.requestOutputDataset, stream).match("request output dataset error")


@pytest.mark.no_sanitizer
def test_model_graph_and_stream_cycles_give_their_memory_back(runtime, tmp_path):
    from onnx import TensorProto, helper
    big = save(tmp_path, "big", [helper.make_node("MatMul", ["x", "W"], ["z"])],
               [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 2048])],
               [helper.make_tensor_value_info("z", TensorProto.FLOAT, [1, 2048])],
               [("W", np.zeros((2048, 2048), np.float32))])  # 16 MiB of weights

    def model_cycle(_):  # the graph's run-model op once kept the whole model
        model = kycl.createModel(big, "", "", "")
        graph, stream = stream_for(model)
        assert kycl.destroyOpStream(stream) == kycl.destroyOpGraph(graph) == kycl.destroyModel(model) == 0

    small, x = kycl.createModel(dense(tmp_path), "", "", ""), inputs(np.zeros(8, np.float32))
    _, first = stream_for(small)
    assert kycl.buildStream(first) == 0
    out = kycl.requestOutputDataset(first)

    def stream_cycle(k):  # built streams, asynchronous ones and their reports
        graph, stream = stream_for(small)
        assert kycl.buildStream(stream) == 0
        if k % 2:
            assert kycl.subscribeStreamReport(stream, lambda *args: None, k) == 0
            assert kycl.runStreamAsync(stream, x, out) == 0 and kycl.synchronizeStream(stream, 0) == 0
        assert kycl.destroyOpStream(stream) == kycl.destroyOpGraph(graph) == 0

    for cycle, count, bound in ((model_cycle, 12, 40 << 20), (stream_cycle, 3000, 2 << 20)):
        for k in range(count // 4):
            cycle(k)
        start = resident_bytes()
        for k in range(count):
            cycle(k)
        assert resident_bytes() - start < bound, cycle.__name__


def test_destroying_a_stream_releases_its_subscriptions_also_from_its_own_report(runtime, tmp_path):
    class User:
        pass

    model, x = kycl.createModel(dense(tmp_path), "", "", ""), inputs(np.zeros(8, np.float32))
    for own in (False, True):
        _, stream = stream_for(model)
        assert kycl.buildStream(stream) == 0
        out, user, codes = kycl.requestOutputDataset(stream), User(), []

        def report(a, b, c, status, u):
            if own and not codes:
                codes.append(kycl.destroyOpStream(stream))

        assert kycl.subscribeStreamReport(stream, report, user) == 0
        alive, user = weakref.ref(user), None
        assert {kycl.runStreamAsync(stream, x, out) for _ in range(5)} <= {0, INVALID_HANDLE}
        if not own:
            assert kycl.synchronizeStream(stream, 0) == 0 and kycl.destroyOpStream(stream) == 0
        for _ in range(2000):  # the report that destroyed its stream lets go of it once it returns
            if alive() is None:
                break
            time.sleep(0.005)
        assert alive() is None and codes == ([0] if own else [])
        assert kycl.runStreamAsync(stream, x, out) == kycl.destroyOpStream(stream) == INVALID_HANDLE
