"""quillon.Model against OpenCV's dnn: declared input types, clear refusals, pictures on the die, requests in
flight in order, device memory given back."""
import gc
import threading

import cv2
import numpy as np
import pytest
from onnx import TensorProto, helper

from package_support import Picture, conv_net, identity, quillon, save  # noqa: F401 (conv_net: a fixture)

import _quillon_testctl as testctl


def dnn(path, x):
    net = cv2.dnn.readNetFromONNX(str(path))
    net.setInput(x)
    return net.forward(["scores", "features"])


def free_memory(device=0):
    return quillon.devices()[device].memory_free


def test_outputs_equal_opencv_and_inputs_take_the_declared_type(conv_net, tmp_path):
    x = np.random.default_rng(0).random((1, 3, 20, 28)) * 4 - 2  # float64: converted, not cast through uint8
    expected = dnn(conv_net, x.astype(np.float32))
    with quillon.Model(conv_net, device=1) as model:
        assert [(s.name, s.shape, s.dtype) for s in model.inputs] == [("image", (1, 3, 20, 28), np.float32)]
        assert [(s.name, s.shape) for s in model.outputs] == [("scores", (1, 8)), ("features", (1, 8, 20, 28))]
        for got in (model(x), model(x[0]), model({"image": x}), model.submit(x).result()):
            assert len(got) == 2
            for value, reference in zip(got, expected):
                np.testing.assert_allclose(value, reference, atol=1e-4, rtol=0)

    # A uint8 input keeps its values; integers reach a float input unchanged.
    uint8_model = save(tmp_path / "u8.onnx", [helper.make_node("Cast", ["x"], ["y"], to=TensorProto.FLOAT)],
                       [helper.make_tensor_value_info("x", TensorProto.UINT8, [3])],
                       [helper.make_tensor_value_info("y", TensorProto.FLOAT, [3])])
    with quillon.Model(uint8_model) as model, quillon.Model(identity(tmp_path / "f.onnx", [3])) as floats:
        assert model.inputs[0].dtype == np.uint8 and model([7.0, 200.0, 255.0]).ravel().tolist() == [7, 200, 255]
        assert floats([0.5, 300.0, 2.0]).ravel().tolist() == [0.5, 300.0, 2.0]
        assert floats(np.array([70000, -3, 1], np.int64)).ravel().tolist() == [70000, -3, 1]


def test_bad_inputs_and_files_get_clear_errors(conv_net, tmp_path):
    with quillon.Model(conv_net) as model:
        with pytest.raises(ValueError, match=r"image has shape \(2, 3, 20, 28\); the model takes \(1, 3, 20, 28\)"):
            model(np.zeros((2, 3, 20, 28)))
        pytest.raises(ValueError, model.submit, np.zeros((3, 20))).match("shape")
        pytest.raises(TypeError, model, np.array(["a"] * 1680).reshape(1, 3, 20, 28)).match("numbers")
        pytest.raises(ValueError, model.map, [], max_in_flight=0).match("max_in_flight")
    pytest.raises(ValueError, model, np.zeros((1, 3, 20, 28))).match("closed")
    model.close()  # twice is fine

    text = tmp_path / "notes.txt"
    text.write_text("not a model\n")
    refused = pytest.raises(quillon.InferenceError, quillon.Model, text)
    error = refused.value
    assert (error.code, error.library) == (302004, "kycl") and isinstance(error, RuntimeError)
    assert error.description == quillon.kycm.getErrDesc(302004) and "\n" not in str(error)
    assert str(text) in str(error) and "302004" in str(error)
    pytest.raises(FileNotFoundError, quillon.Model, tmp_path / "missing.onnx").match("no such model file")
    pytest.raises(ValueError, quillon.Model, conv_net, device=9).match("device 9 does not exist")
    pytest.raises(ValueError, quillon.Model, conv_net, layout="CHW").match("layout")


def test_pictures_on_the_die_become_the_input_there(tmp_path):
    rng = np.random.default_rng(3)
    height, width = 16, 24
    model = quillon.Model(identity(tmp_path / "id.onnx", [1, 3, height, width]))
    pictures = []
    try:
        for size in ((height, width), (32, 48)):  # as it is, and resized on the die
            nv12 = rng.integers(0, 256, (size[0] * 3 // 2, size[1]), dtype=np.uint8)
            y, uv = nv12[:size[0]], nv12[size[0]:].reshape(size[0] // 2, size[1] // 2, 2)
            y, uv = cv2.resize(y, (width, height)), cv2.resize(uv, (width // 2, height // 2))
            expected = cv2.cvtColorTwoPlane(y, uv, cv2.COLOR_YUV2RGB_NV12).astype(np.float32) / 255
            pictures.append(Picture(nv12, "nv12"))
            np.testing.assert_allclose(model(pictures[-1])[0], expected.transpose(2, 0, 1), atol=1e-6)

        bgr = rng.integers(0, 256, (32, 48, 3), dtype=np.uint8)
        rgb = cv2.resize(bgr, (width, height))[..., ::-1].astype(np.float32)
        pictures.append(Picture(bgr, "bgr24"))
        np.testing.assert_allclose(model.submit(pictures[-1]).result()[0], rgb.transpose(2, 0, 1) / 255, atol=1e-6)
        mean, std = np.float32([0.5, 0.4, 0.3]), np.float32([0.2, 0.25, 0.3])
        with quillon.Model(tmp_path / "id.onnx", mean=mean.tolist(), std=std.tolist()) as normalised:
            np.testing.assert_allclose(normalised(pictures[-1])[0], ((rgb / 255 - mean) / std).transpose(2, 0, 1),
                                       atol=1e-5)
        pixels = identity(tmp_path / "nhwc.onnx", [1, height, width, 3], TensorProto.UINT8)
        with quillon.Model(pixels, layout="NHWC") as channels_last:
            assert np.array_equal(channels_last(pictures[-1])[0], rgb.astype(np.uint8))

        pictures.append(Picture(np.zeros((height, width), np.uint8), "gray"))
        pytest.raises(ValueError, model, pictures[-1]).match("'nv12', 'rgb24' or 'bgr24'")
        pictures.append(Picture(bgr, "bgr24", device=1))
        pytest.raises(ValueError, model, pictures[-1]).match("device 1 and the model on device 0")
        with quillon.Model(tmp_path / "id.onnx", layout="NHWC") as wrong:
            pytest.raises(ValueError, wrong, pictures[0]).match(r"1 x 3 x H x W")
    finally:
        model.close()
        for picture in pictures:
            picture.free()


def test_requests_in_flight_come_back_in_order(conv_net):
    xs = [np.full((1, 3, 20, 28), k / 10, np.float32) for k in range(24)]
    with quillon.Model(conv_net) as model:
        expected = [model(x) for x in xs]
        for max_in_flight in (1, 3, 8):
            results = list(model.map(iter(xs), max_in_flight=max_in_flight))
            assert len(results) == len(xs)
            for got, want in zip(results, expected):
                assert all(np.array_equal(g, w) for g, w in zip(got, want))
        futures = [model.submit(x) for x in xs[:10]]
        assert [f.result()[0].tolist() for f in futures] == [e[0].tolist() for e in expected[:10]]

        testctl.arm_failure("kyclRunStreamAsync", 302002)
        pytest.raises(quillon.InferenceError, model.submit, xs[0]).match("302002")
        testctl.reset()
        assert np.array_equal(model.submit(xs[1]).result()[0], expected[1][0])  # the slot came back


def test_closing_or_dropping_a_model_gives_its_device_memory_back(conv_net):
    before = free_memory()
    model = quillon.Model(conv_net)
    list(model.map([np.zeros((1, 3, 20, 28))] * 12, max_in_flight=6))
    assert free_memory() < before
    model.close()
    assert free_memory() == before
    model = quillon.Model(conv_net)
    model.submit(np.zeros((1, 3, 20, 28)))
    del model
    gc.collect()
    assert free_memory() == before


def test_closing_while_other_threads_call_and_submit_refuses_them_cleanly(conv_net):
    x = np.ones((1, 3, 20, 28), np.float32)
    for _ in range(5):
        model = quillon.Model(conv_net)
        outcomes = []

        def use(run):
            for _ in range(30):
                try:
                    outcomes.append(run())
                except ValueError as error:
                    outcomes.append(str(error))

        threads = [threading.Thread(target=use, args=(lambda: model(x)[0].shape,)),
                   threading.Thread(target=use, args=(lambda: model.submit(x).result()[0].shape,))]
        for thread in threads:
            thread.start()
        model.close()
        for thread in threads:
            thread.join()
        assert set(outcomes) <= {(1, 8), "the model is closed"} and len(outcomes) == 60


ONNX_UNAVAILABLE = """
import importlib.abc, importlib.machinery, sys, warnings
import quillon

class Interrupted(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    # onnx's import as Ctrl-C leaves it: an extension module's initialisation reports an ImportError caused by
    # the KeyboardInterrupt.
    def find_spec(self, name, path, target=None):
        return importlib.machinery.ModuleSpec(name, self) if name == "onnx" else None
    def create_module(self, found):
        return None
    def exec_module(self, module):
        raise ImportError("initialization failed") from KeyboardInterrupt()

if sys.argv[2] == "interrupted":
    sys.meta_path.insert(0, Interrupted())
    try:
        quillon.Model(sys.argv[1])
    except KeyboardInterrupt:
        print("interrupted")
else:
    sys.modules["onnx"] = None  # not installed
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        names = [[o.name for o in quillon.Model(sys.argv[1]).outputs] for _ in range(2)]
    print(names, len(said), said[0].filename.endswith("<string>"), "python3-onnx" in str(said[0].message))
"""


def test_a_missing_onnx_is_said_once_and_an_interrupted_import_is_an_interruption(conv_net):
    import os
    import subprocess
    import sys

    from conftest import MODULE_DIR, ROOT

    def ran(case):
        return subprocess.run([sys.executable, "-c", ONNX_UNAVAILABLE, str(conv_net), case], capture_output=True,
                              text=True, env=dict(os.environ, PYTHONPATH=f"{MODULE_DIR}:{ROOT / 'python'}"),
                              timeout=120).stdout.strip()

    assert ran("interrupted") == "interrupted"  # not a model with guessed names
    assert ran("missing") == "[['output0', 'output1'], ['output0', 'output1']] 1 True True"
