"""The README's first program, as it stands there, on the media of open()'s tests and over HTTP: pictures in
display order at PyAV's times, every score OpenCV's dnn on the very picture the model was given."""
import re

import cv2
import numpy as np
import pytest
from onnx import TensorProto, helper

from conftest import ROOT, served
from package_support import quillon, save

av = pytest.importorskip("av")
av.logging.restore_default_callback()  # see tests/python/media/test_open.py


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    weights = np.random.default_rng(3).standard_normal((5, 3, 3, 3)).astype(np.float32)
    return save(tmp_path_factory.mktemp("model") / "net.onnx", [
        helper.make_node("Conv", ["image", "W"], ["f"], kernel_shape=[3, 3], strides=[4, 4]),
        helper.make_node("GlobalAveragePool", ["f"], ["p"]), helper.make_node("Flatten", ["p"], ["scores"])],
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 224, 224])],
        [helper.make_tensor_value_info("scores", TensorProto.FLOAT, [1, 5])], [("W", weights)])


def run_program(source, model, monkeypatch):
    """What the README's program printed on `source`, and (picture given, scores) of every model call."""
    calls, printed = [], []

    class Recording(quillon.Model):
        def __call__(self, x):
            scores = super().__call__(x)
            calls.append((x.to_numpy(), scores))
            return scores

    monkeypatch.setattr(quillon, "Model", Recording)
    program = re.search(r"## A first program\n\n```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)[1]
    program = program.replace('"net.onnx"', repr(str(model))).replace('"clip.mp4"', repr(str(source)))
    exec(program, {"print": lambda *values: printed.append(values)})
    return printed, calls


@pytest.mark.parametrize("name", ["h264.mp4", "hevc.mkv", "mpeg4.avi", "photos", "url"])
def test_the_first_program_on_a_users_media(clips, photos, model, monkeypatch, name):
    if name == "url":
        with served(clips["h264.mp4"].rsplit("/", 1)[0]) as folder:
            printed, calls = run_program(f"{folder}/h264.mp4", model, monkeypatch)
    else:
        printed, calls = run_program(photos if name == "photos" else clips[name], model, monkeypatch)
    (codec, width, height, fps, count), *lines = printed
    assert len(lines) == len(calls) == (11 if name == "photos" else 30)
    assert [index for index, _, _ in lines] == list(range(len(lines)))
    if name != "photos":
        assert (codec, width, height, fps) == (name.split(".")[0].replace("url", "h264"), 320, 240, 30.0)
        assert count == (None if name == "hevc.mkv" else 30)  # Matroska does not store it
        with av.open(clips[name if name != "url" else "h264.mp4"]) as container:
            times = [frame.time for frame in container.decode(video=0)]
        assert [pts for _, pts, _ in lines] == pytest.approx(times, abs=1e-9)
    net = cv2.dnn.readNetFromONNX(str(model))
    for (_, _, top), (picture, scores) in zip(lines, calls):
        assert picture.shape == (224, 224, 3)
        net.setInput(cv2.dnn.blobFromImage(picture, 1 / 255))
        expected = net.forward()
        np.testing.assert_allclose(scores, expected, atol=1e-4)
        assert top == int(np.argmax(expected))
