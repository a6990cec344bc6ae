"""The README's first program, as it stands there, on the media a user has: an
MP4, an MKV with HEVC, an AVI with MPEG-4 Part 2 (decoded on the host), a
folder of odd-sized, CMYK and EXIF-turned photos and an HTTP URL. Its
pictures come in display order at PyAV's times, and every score equals
OpenCV's dnn on the very picture the model was given."""
import functools
import http.server
import re
import subprocess
import threading

import cv2
import numpy as np
import pytest
from onnx import TensorProto, helper

from conftest import ROOT
from package_support import quillon, save

av = pytest.importorskip("av")
av.logging.restore_default_callback()  # see tests/python/media/test_open.py


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    folder = tmp_path_factory.mktemp("media")
    source = ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "12"]
    for name, codec in (("clip.mp4", ["-c:v", "libx264", "-bf", "2"]),
                        ("clip.mkv", ["-c:v", "libx265", "-x265-params", "log-level=error"]),
                        ("clip.avi", ["-c:v", "mpeg4", "-bf", "2"])):
        subprocess.run(["ffmpeg", "-v", "error", "-y", *source, "-pix_fmt", "yuv420p", *codec, str(folder / name)],
                       check=True)
    from PIL import Image

    photos = folder / "photos"
    photos.mkdir()
    y, x = np.mgrid[0:211, 0:333]
    picture = Image.fromarray(np.stack([x % 256, y, (x + y) % 256], -1).astype(np.uint8))
    picture.save(photos / "a_odd.jpg")
    picture.convert("CMYK").save(photos / "b_cmyk.jpg")
    exif = picture.getexif()
    exif[0x0112] = 6
    picture.save(photos / "c_turned.jpg", exif=exif)
    weights = np.random.default_rng(3).standard_normal((5, 3, 3, 3)).astype(np.float32)
    model = save(folder / "net.onnx", [
        helper.make_node("Conv", ["image", "W"], ["f"], kernel_shape=[3, 3], strides=[4, 4]),
        helper.make_node("GlobalAveragePool", ["f"], ["p"]), helper.make_node("Flatten", ["p"], ["scores"])],
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 224, 224])],
        [helper.make_tensor_value_info("scores", TensorProto.FLOAT, [1, 5])], [("W", weights)])
    return folder, model


def first_program():
    readme = (ROOT / "README.md").read_text()
    return re.search(r"## A first program\n\n```python\n(.*?)```", readme, re.S).group(1)


def run_program(source, model, monkeypatch):
    """Runs the README's program on `source`; returns what it printed and
    (picture given, scores) of every model call."""
    calls, printed = [], []

    class Recording(quillon.Model):
        def __call__(self, x):
            scores = super().__call__(x)
            calls.append((x.to_numpy(), scores))
            return scores

    monkeypatch.setattr(quillon, "Model", Recording)
    program = first_program().replace('"net.onnx"', repr(str(model))).replace('"clip.mp4"', repr(str(source)))
    exec(program, {"print": lambda *values: printed.append(values)})
    return printed, calls


@pytest.mark.parametrize("name", ["clip.mp4", "clip.mkv", "clip.avi", "photos", "url"])
def test_the_first_program_on_a_users_media(media, monkeypatch, name):
    folder, model = media
    server = None
    if name == "url":
        handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(folder))
        handler.log_message = lambda *arguments: None
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        source = f"http://127.0.0.1:{server.server_port}/clip.mp4"
    else:
        source = folder / name
    try:
        printed, calls = run_program(source, model, monkeypatch)
    finally:
        if server is not None:
            server.shutdown()
            server.server_close()
    (codec, width, height, fps, count), *lines = printed
    assert len(lines) == len(calls) == (3 if name == "photos" else 12)
    assert [index for index, _, _ in lines] == list(range(len(lines)))
    if name != "photos":
        assert (codec, width, height, fps) == ({"clip.mkv": "hevc", "clip.avi": "mpeg4"}.get(name, "h264"), 320, 240, 25.0)
        assert count == (None if name == "clip.mkv" else 12)  # Matroska does not store it
        with av.open(str(folder / (name if name != "url" else "clip.mp4"))) as container:
            times = [frame.time for frame in container.decode(video=0)]
        assert [pts for _, pts, _ in lines] == pytest.approx(times, abs=1e-9)
    for (_, _, top), (picture, scores) in zip(lines, calls):
        assert picture.shape == (224, 224, 3)
        net = cv2.dnn.readNetFromONNX(str(model))
        net.setInput(cv2.dnn.blobFromImage(picture, 1 / 255))
        expected = net.forward()
        np.testing.assert_allclose(scores, expected, atol=1e-4)
        assert top == int(np.argmax(expected))
