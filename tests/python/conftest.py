"""Puts the build tree and the package on the path and gives every test a clean runtime."""
import concurrent.futures
import contextlib
import functools
import http.server
import json
import os
import pathlib
import shutil
import subprocess
import sys
import threading
import types

import numpy as np
import pytest

# Each test process keeps the card to itself, so tests running side by side
# (and other users of the default platform) never see each other's memory
# and channels; the tests of the shared state turn it on in their own
# processes.
os.environ["QUILLON_SHARED_STATE"] = "0"

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUILLON_BUILD_DIR", ROOT / "build"))
MODULE_DIR = BUILD / "python"
sys.path.insert(0, str(MODULE_DIR))
# The package's sources; its native helper joins it from the build tree.
sys.path.insert(1, str(ROOT / "python"))

import _quillon_pybind11 as quillon  # noqa: E402
import _quillon_testctl as testctl  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer: measures memory or expects a raw fault; left out of the sanitizer run")


@pytest.fixture(autouse=True)
def clean_control():
    """Test control disarmed and the journal empty before and after each test."""
    testctl.reset()
    yield
    testctl.reset()


@pytest.fixture
def runtime():
    """An initialised common runtime, released after the test."""
    kycm = quillon.kycm
    kycm.uninitialize()
    assert kycm.initialize() == 0
    yield kycm
    kycm.uninitialize()


@pytest.fixture
def media(runtime):
    """An initialised media system on the default platform (two devices), released after the test."""
    quillon.kyme.systemUninitialize()
    assert quillon.kyme.systemInitialize() == 0
    yield
    quillon.kyme.systemUninitialize()


@pytest.fixture
def journal():
    """Records library calls during the test; call it to read them."""
    testctl.record()
    return testctl.journal


def upload(data):
    """Device memory holding the bytes of `data`."""
    data = np.ascontiguousarray(data).view(np.uint8).reshape(-1)
    host, device = quillon.kycm.getHandleFromNumpy(data), quillon.kycm.malloc(max(data.size, 1))
    assert quillon.kycm.memcpy(host, device, data.size, quillon.kycm.copyMemType.kycmCT_COPY_TO_DEVICE) == 0
    quillon.kycm.freeHost(host)
    return device


def download(handle, size, offset=0):
    """`size` bytes of device memory from `offset` on, as a numpy array."""
    kycm = quillon.kycm
    host = kycm.getHandleFromNumpy(np.zeros(offset + size, np.uint8))
    assert kycm.memcpy(handle, host, offset + size, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE) == 0
    data = kycm.getNumpyFromHandle(host, offset + size)[offset:]
    kycm.freeHost(host)
    return data


def device_info(kind=None, index=0):
    """A kycm device description: a card's device unless `kind` says otherwise."""
    record = quillon.kycm.deviceInfo()
    record.deviceType, record.deviceIdx = kind or quillon.kycm.deviceType.kycmDE_KYCC, index
    return record


def pattern_video(path, *options, size="320x240", rate=25, frames=30):
    """ffmpeg's testsrc2 pattern written to `path` as `options` say; "-" gives the bytes."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed")
    run = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
                          "-frames:v", str(frames), *map(str, options), str(path)], check=True, stdout=subprocess.PIPE)
    return run.stdout if str(path) == "-" else path


def ffprobe(path, entries):
    """What ffprobe reports of `path` for the entries named (frames counted by decoding)."""
    return json.loads(subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries", entries, "-of",
                                      "json", str(path)], check=True, capture_output=True, text=True).stdout)


def onnx_model(path, nodes, inputs, outputs, weights=()):
    """An opset-13 ONNX file of one graph, written as given (unchecked: some are wrong on purpose); weights are
    TensorProtos or (name, array) pairs."""
    from onnx import TensorProto, helper, numpy_helper

    tensors = [w if isinstance(w, TensorProto) else numpy_helper.from_array(w[1], w[0]) for w in weights]
    graph = helper.make_graph(nodes, path.stem, inputs, outputs, tensors)
    path.write_bytes(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]).SerializeToString())
    return path


def least_argument(module, kind):
    """The least argument of a parameter type, as the binding's docstring names it, that reaches the library."""
    plain = {"capsule": None, "int": 0, "float": 0.0, "bool": False, "str": "x", "Optional[str]": "x", "list": []}
    if kind in plain:
        return plain[kind]
    if kind.startswith("List["):
        return []
    if kind.startswith("numpy.ndarray"):
        return np.zeros(3, kind[20:-1])
    cls = getattr(module, kind)
    return next(iter(cls.__members__.values())) if hasattr(cls, "__members__") else cls()


def resident_bytes():
    """The process's resident memory."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def psnr(a, b):
    """Peak signal-to-noise ratio of two 8-bit pictures, in dB (99 for equal ones)."""
    mse = np.mean((np.asarray(a, float) - np.asarray(b, float)) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def shape(*dims, ndims=None):
    """A kycm shape of `dims`, with `ndims` as given or their number."""
    record = quillon.kycm.shape()
    record.ndims, record.shapes = len(dims) if ndims is None else ndims, list(dims)
    return record


@pytest.fixture(scope="session")
def clips(tmp_path_factory):
    """name -> path: 320x240 clips of 30 pictures at 30/s, with B-frames where the codec has them."""
    folder = tmp_path_factory.mktemp("clips")
    made = {
        "h264.mp4": ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "2"],
        "hevc.mkv": ["-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params", "log-level=error:bframes=2"],
        "mpeg4.avi": ["-c:v", "mpeg4", "-bf", "2"],
        "hevc10.mkv": ["-pix_fmt", "yuv420p10le", "-c:v", "libx265", "-x265-params", "log-level=error"],
        "h264.h264": ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0"],
    }
    for name, options in made.items():
        pattern_video(folder / name, *options, rate=30)
    return {name: str(folder / name) for name in made}


def gradient(width, height):
    from PIL import Image

    y, x = np.mgrid[0:height, 0:width]
    return Image.fromarray(np.stack([x * 255 // width, y * 255 // height, (x * 3 + y) % 256], -1).astype(np.uint8))


@pytest.fixture(scope="session")
def photos(tmp_path_factory):
    """A folder of JPEG files: odd-sized, CMYK, grey, progressive and turned by EXIF orientations."""
    folder = tmp_path_factory.mktemp("photos")
    gradient(333, 211).save(folder / "01_odd.jpg", quality=90)
    gradient(320, 240).convert("CMYK").save(folder / "02_cmyk.jpg", quality=90)
    gradient(320, 240).convert("L").save(folder / "03_gray.jpg", quality=90)
    gradient(320, 240).save(folder / "04_progressive.jpg", quality=90, progressive=True)
    for orientation in (2, 3, 4, 5, 6, 7, 8):
        image = gradient(301, 200)
        exif = image.getexif()
        exif[0x0112] = orientation
        image.save(folder / f"1{orientation}_turned.jpg", exif=exif, quality=90)
    (folder / "notes.txt").write_text("not a photo")
    return folder


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


@contextlib.contextmanager
def serving(handler):
    """An HTTP server of `handler` on a loopback port; yields its URL."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        thread.join()
        server.server_close()


def served(folder):
    """`folder` served over HTTP on a loopback port; yields the URL of the folder."""
    return serving(functools.partial(QuietHandler, directory=str(folder)))


def exit_every_time(script, runs=20):
    """`script` run by `runs` Python child processes, four at a time: each must print "done" and exit 0."""
    def run(_):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout.strip(), done.stderr[-400:]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        outcomes = list(pool.map(run, range(runs)))
    assert [(code, out) for code, out, _ in outcomes] == [(0, "done")] * runs, [e for c, _, e in outcomes if c][:2]


def Steer(following, widen=lambda: False):  # noqa: N802 - a schedule as the main job gives one
    return types.SimpleNamespace(following=following, widen=widen)


def pillow_rgb(path):
    """A photo as Pillow shows it: turned as its EXIF orientation says."""
    from PIL import Image, ImageOps

    with Image.open(path) as image:
        return np.asarray(ImageOps.exif_transpose(image).convert("RGB"))


def child_json(script, *arguments, **options):
    """What `script`, run by a Python child process with `arguments`, prints as JSON; the child must exit 0."""
    options.setdefault("timeout", 120)
    child = subprocess.run([sys.executable, "-c", script, *map(str, arguments)], capture_output=True, text=True,
                           **options)
    assert child.returncode == 0, child.stderr[-2000:]
    return json.loads(child.stdout)


SAMPLES = pathlib.Path(os.environ.get("QUILLON_SAMPLES", "/var/cache/quillon/samples"))


@pytest.fixture(scope="session")
def samples():
    """The folder of Debian's sample media (scripts/sample-media.sh fills it):
    box.mp4, cup.mp4, Megamind.avi, vtest.avi, tree.avi and labelme/ photos."""
    if not (SAMPLES / ".complete-1").exists():
        subprocess.run([str(ROOT / "scripts" / "sample-media.sh")], check=True)
    return SAMPLES


class RtspServer:
    """The RTSP test server (rtsp_server.py) on 127.0.0.1 in a process of its
    own, serving moving test pictures at `url(name)`; `stop()` and `start()`
    again on the same port make a camera drop."""

    def __init__(self, names, size="320x240", lifetime=90):
        import socket

        with socket.socket() as probe:  # a free port, kept for every restart
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.names, self.size, self.lifetime, self.process = names, size, lifetime, None

    def url(self, name, credentials=None):
        return f"rtsp://{credentials + '@' if credentials else ''}127.0.0.1:{self.port}/{name}"

    def start(self):
        command = [sys.executable, str(pathlib.Path(__file__).with_name("rtsp_server.py")), "--port", str(self.port),
                   "--size", self.size, "--lifetime", str(self.lifetime), *self.names]
        # Bounded in time: the server leaves by itself after `lifetime` seconds.
        # The server is no code of ours: the sanitizer run's preloaded runtime stays out of it.
        env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env)
        assert self.process.stdout.readline().strip() == "ready"
        return self

    def stop(self):
        if self.process is not None:
            self.process.kill()
            self.process.wait(timeout=10)
            self.process = None


@pytest.fixture
def rtsp_server():
    """Starts RTSP servers (see RtspServer) for the test and stops them after it."""
    import importlib.util

    if importlib.util.find_spec("gi") is None:
        pytest.skip("the RTSP test server needs python3-gi and gir1.2-gst-rtsp-server-1.0")
    started = []

    def start(*names, **options):
        server = RtspServer(names or ("cam",), **options).start()
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()
