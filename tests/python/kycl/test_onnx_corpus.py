"""ONNX's own node and simple tests (libonnx-testdata) through kycl: what OpenCV imports matches the stored
outputs, the rest is refused at createModel."""
import glob
import os

import numpy as np
import onnx
import pytest
from onnx import numpy_helper

from test_models_and_streams import inputs, kycl, read, stream_for

CORPUS = "/usr/share/libonnx-testdata/data"
# Where OpenCV 4.6 itself computes something else than the reference
# (1-D concat, uint8 division, the opset-13 default axis of LogSoftmax, some pooling pads). The SDK's own
# Softmax layer takes the default axis ONNX gives it.
OPENCV_DIFFERS = {"test_averagepool_2d_pads_count_include_pad", "test_averagepool_2d_precomputed_pads_count_include_pad",
                  "test_averagepool_2d_same_lower", "test_concat_1d_axis_negative_1", "test_div_uint8",
                  "test_logsoftmax_default_axis", "test_maxpool_2d_dilations", "test_maxpool_2d_same_lower"}


def tensors(folder, kind):
    return [numpy_helper.to_array(onnx.load_tensor(p)) for p in sorted(glob.glob(f"{folder}/test_data_set_0/{kind}_*.pb"))]


def run(path):
    """True when the model's outputs match the stored ones; None when refused."""
    try:
        model = kycl.createModel(path, "", "", "")
    except RuntimeError:
        return None
    folder = os.path.dirname(path)
    given, expected = tensors(folder, "input"), tensors(folder, "output")
    graph, stream = stream_for(model, input_count=len(given))
    try:
        assert kycl.buildStream(stream) == 0
        out = kycl.requestOutputDataset(stream)
        if kycl.runStream(stream, inputs(*given), out, 0) != 0:
            return False
        got = [read(out, i, e.dtype) for i, e in enumerate(expected)]
        return all(g.size == e.size and np.allclose(g.reshape(e.shape), e, rtol=1e-3, atol=1e-4, equal_nan=True)
                   for g, e in zip(got, expected))
    finally:
        kycl.destroyOpStream(stream), kycl.destroyOpGraph(graph), kycl.destroyModel(model)


@pytest.mark.skipif(not os.path.isdir(CORPUS), reason="libonnx-testdata is not installed")
def test_every_node_test_opencv_imports_matches_its_stored_outputs(runtime):
    paths = sorted(glob.glob(f"{CORPUS}/node/*/model.onnx") + glob.glob(f"{CORPUS}/simple/*/model.onnx"))
    results = {os.path.basename(os.path.dirname(p)): run(p) for p in paths}
    ran = {name for name, ok in results.items() if ok is not None}
    wrong = {name for name in ran if not results[name]}
    print(f"node and simple tests: {len(ran)} ran, {len(ran) - len(wrong)} matched, {len(results) - len(ran)} refused")
    assert len(ran) > 200 and wrong <= OPENCV_DIFFERS
