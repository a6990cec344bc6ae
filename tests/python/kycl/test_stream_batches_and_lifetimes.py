"""Streams over time: the batching balance mode gathers requests into the
model's batch, a thousand asynchronous requests come back in order with
their own results in bounded memory, and streams outlive the graph and model
they were built from, while destroyed handles are refused."""
import ctypes
import os
import threading

import numpy as np
import pytest

from test_models_and_streams import INVALID_HANDLE, W, dense, inputs, kycl, kycm, read, stream_for, CT

WAIT_MORE_INPUT = kycl.kyclER_WAIT_MORE_INPUT
RUN = kycl.balance_mode.kyclBM_RUN


def address(capsule):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.argtypes, get.restype = [ctypes.py_object, ctypes.c_char_p], ctypes.c_void_p
    return get(capsule, None)


def expected(x):
    return np.maximum(x @ W, 0)


def batching_stream(tmp_path, batch):
    model = kycl.createDynamicModel(dense(tmp_path, batch="N"), "")
    assert kycl.setModelBatchSize(model, batch) == 0
    _, stream = stream_for(model, RUN)
    assert kycl.buildStream(stream) == 0
    reports = []
    assert kycl.subscribeStreamReport(stream, lambda a, b, c, s, u: reports.append((c, s.errorCode, s.isStreamEnd)),
                                      None) == 0
    return stream, reports


def test_batching_mode_waits_for_a_full_batch_and_flushes_on_synchronize(runtime, tmp_path):
    stream, reports = batching_stream(tmp_path, 4)
    rows = [np.full((1, 4), k / 4 - 1, np.float32) for k in range(10)]
    outs = [kycl.requestOutputDataset(stream) for _ in rows]
    assert kycm.getDataBufferSize(kycm.getDatasetBuffer(outs[0], 0)) == 12  # one request's row
    # Synchronous: the request that fills the batch runs it for all four.
    codes = [kycl.runStream(stream, inputs(rows[k]), outs[k], 0) for k in range(4)]
    assert codes == [WAIT_MORE_INPUT] * 3 + [0] and len(reports) == 4
    # Asynchronous: a full batch, then two that wait until synchronize runs them.
    codes = [kycl.runStreamAsync(stream, inputs(rows[k]), outs[k]) for k in range(4, 10)]
    assert codes == [WAIT_MORE_INPUT] * 3 + [0] + [WAIT_MORE_INPUT] * 2
    assert kycl.getStreamCacheNumber(stream) >= 2
    assert kycl.synchronizeStream(stream, 0) == 0 and kycl.getStreamCacheNumber(stream) == 0
    assert [address(c) for c, _, _ in reports] == [address(out) for out in outs] and all(code == 0 for _, code, _ in reports)
    assert reports[3][2] and reports[-1][2] and not any(end for _, _, end in reports[4:-1])
    for row, out in zip(rows, outs):
        np.testing.assert_allclose(read(out, 0, np.float32), expected(row)[0], atol=1e-6)


def test_batching_mode_with_a_batch_of_one_runs_each_request(runtime, tmp_path):
    stream, reports = batching_stream(tmp_path, 1)
    x = np.ones((1, 4), np.float32)
    out = kycl.requestOutputDataset(stream)
    assert kycl.runStream(stream, inputs(x), out, 0) == 0 and len(reports) == 1
    np.testing.assert_allclose(read(out, 0, np.float32), expected(x)[0], atol=1e-6)


@pytest.mark.no_sanitizer
def test_a_thousand_async_requests_return_in_order_in_bounded_memory(runtime, tmp_path):
    _, stream = stream_for(kycl.createModel(dense(tmp_path), "", "", ""))
    assert kycl.buildStream(stream) == 0
    slots = 8
    free = threading.Semaphore(slots)
    ring = [(np.zeros((2, 4), np.float32), inputs(np.zeros((2, 4), np.float32)), kycl.requestOutputDataset(stream))
            for _ in range(slots)]
    order, wrong = [], []

    def done(a, ins, outs, status, user):  # report k must carry request k's own result
        k = len(order)
        order.append(k)
        x = np.full((2, 4), k / 500 - 1, np.float32)
        if status.errorCode or not np.allclose(read(outs, 0, np.float32).reshape(2, 3), expected(x), atol=1e-5):
            wrong.append(k)
        free.release()

    assert kycl.subscribeStreamReport(stream, done, None) == 0

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for k in range(1000):
        free.acquire()  # slot k % 8 was last used by request k - 8, reported by now
        x, ins, outs = ring[k % slots]
        x[:] = k / 500 - 1
        buffer = kycm.getDatasetBuffer(ins, 0)
        assert kycm.memcpy(kycm.getHandleFromNumpy(x.view(np.uint8).reshape(-1)), kycm.getDataBufferAddr(buffer), x.nbytes,
                           CT.kycmCT_COPY_TO_DEVICE) == 0
        assert kycl.runStreamAsync(stream, ins, outs) == 0
        if k == 200:
            start = resident()
    assert kycl.synchronizeStream(stream, 0) == 0
    assert len(order) == 1000 and wrong == []
    assert resident() - start < 8 << 20


def test_a_stream_outlives_its_graph_and_model_and_ignores_later_connections(runtime, tmp_path):
    model = kycl.createModel(dense(tmp_path), "", "", "")
    graph, stream = stream_for(model)
    assert kycl.buildStream(stream) == 0
    # Connections made after building do not change what the stream runs
    # (they once made it read past the model's list of inputs).
    run_op = kycl.createRunModelOp(model)
    assert kycl.connectOps(kycl.createGraphInputOp(graph, 1), run_op) == 0
    x = np.linspace(-1, 1, 8, dtype=np.float32).reshape(2, 4)
    out = kycl.requestOutputDataset(stream)
    assert kycl.destroyModel(model) == 0 and kycl.destroyOpGraph(graph) == 0
    assert kycl.runStreamAsync(stream, inputs(x), out) == 0 and kycl.synchronizeStream(stream, 0) == 0
    np.testing.assert_allclose(read(out, 0, np.float32).reshape(2, 3), expected(x), atol=1e-6)
    with pytest.raises(RuntimeError, match="create graph run model op error"):
        kycl.createRunModelOp(model)
    assert kycl.destroyOpStream(stream) == 0
    for call in (lambda: kycl.runStream(stream, None, None, 0), lambda: kycl.runStreamAsync(stream, None, None),
                 lambda: kycl.synchronizeStream(stream, 10), lambda: kycl.buildStream(stream),
                 lambda: kycl.subscribeStreamReport(stream, print, None), lambda: kycl.destroyOpStream(stream)):
        assert call() == INVALID_HANDLE
    for call, text in ((kycl.getStreamCacheNumber, "get stream cache number"),
                       (kycl.requestOutputDataset, "request output dataset")):
        with pytest.raises(RuntimeError, match=text):
            call(stream)
    assert kycl.synchronizeDevice(0, 1000) == 0
