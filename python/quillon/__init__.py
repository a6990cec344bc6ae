"""The Ordal SDK from Python.

    import quillon
    model = quillon.Model("net.onnx", device=0)
    with quillon.open("clip.mp4") as video:
        for frame in video.frames(format="rgb24", size=(224, 224)):
            outputs = model(frame)  # a tuple of arrays for a model of several outputs
            scores = outputs[0] if len(model.outputs) > 1 else outputs
            print(frame.pts, scores.argmax())

The layer users reach for first: `open` (videos, pictures and streams
decoded on the card), `Model` (models run on a die), `encode` (videos and
pictures encoded on the card), `devices()` (the dies) and `Error` (every
failure of the card's libraries, with its code). Underneath, the five
submodules of the extension module _quillon_pybind11 bind the card's C
libraries one to one, importable as `quillon.kycm` or `from quillon import
kycm` alike.

`python3 -m quillon` prints the version, the platform and the devices; the
commands quillon-status and quillon-pipeline are installed with the package.
"""
from ._interrupts import held as _held

# Ctrl-C while the extension modules initialise is answered once they are
# whole (see _interrupts).
with _held():
    import importlib as _importlib
    import pkgutil as _pkgutil
    import sys as _sys
    from typing import TYPE_CHECKING
    from typing import Any as _Any

    import _quillon_pybind11

    # In a build tree the package's native helper is built into another folder
    # named quillon (build/python/quillon); it joins the package's path here.
    __path__ = _pkgutil.extend_path(__path__, __name__)

    from _quillon_pybind11 import __time_compiled__ as __time_compiled__
    from _quillon_pybind11 import __version__ as __version__
    from _quillon_pybind11 import kyce as kyce
    from _quillon_pybind11 import kycl as kycl
    from _quillon_pybind11 import kycm as kycm
    from _quillon_pybind11 import kyme as kyme
    from _quillon_pybind11 import kyml as kyml

    # The submodules under the package's dotted names too (`import quillon.kycm`).
    for _name in ("kycm", "kyme", "kycl", "kyce", "kyml"):
        _sys.modules.setdefault(f"{__name__}.{_name}", getattr(_quillon_pybind11, _name))
    del _name

    from .errors import CommonRuntimeError as CommonRuntimeError  # noqa: E402
    from .errors import Error as Error  # noqa: E402
    from .errors import InferenceError as InferenceError  # noqa: E402
    from .errors import ManagementError as ManagementError  # noqa: E402
    from .errors import MediaError as MediaError  # noqa: E402
    from .errors import PreprocessError as PreprocessError  # noqa: E402
    from .models import DevicePicture as DevicePicture  # noqa: E402
    from .models import Model as Model  # noqa: E402
    from .models import TensorSpec as TensorSpec  # noqa: E402
    from .runtime import Device as Device  # noqa: E402
    from .runtime import devices as devices  # noqa: E402

# Media sources and encoding live in modules of their own, loaded when first
# named (they bring the native demuxing helper with them).
if TYPE_CHECKING:
    from .encoding import Writer as Writer
    from .encoding import encode as encode
    from .media import Frame as Frame
    from .media import codec_messages as codec_messages
    from .monitor import DieLoad as DieLoad
    from .monitor import Monitor as Monitor
    from .media import Video as Video
    from .media import open as open

_LAZY = {"open": "media", "Video": "media", "Frame": "media", "codec_messages": "media", "encode": "encoding",
         "Writer": "encoding", "Monitor": "monitor", "DieLoad": "monitor"}

__all__ = ["open", "Video", "Frame", "codec_messages", "Monitor", "DieLoad", "Model", "TensorSpec", "DevicePicture",
           "encode", "Writer", "devices", "Device",
           "Error", "CommonRuntimeError", "MediaError", "InferenceError", "PreprocessError", "ManagementError",
           "kycm", "kyme", "kycl", "kyce", "kyml"]


def __getattr__(name: str) -> _Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    with _held():  # the media modules bring the native helper
        value = getattr(_importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> "list[str]":
    return sorted(set(globals()) | set(_LAZY))
