"""The Ordal SDK from Python: the five submodules of the extension module
_quillon_pybind11 under the package name `quillon`.

    from quillon import kycm, kyml
    kycm.initialize()

`python3 -m quillon` prints the version, the platform and the devices; the
commands quillon-status and quillon-pipeline are installed with the package.
"""
import pkgutil
from typing import TYPE_CHECKING, Any

# In a build tree the package's native helper is built into another folder
# named quillon (build/python/quillon); it joins the package's path here.
__path__ = pkgutil.extend_path(__path__, __name__)

from _quillon_pybind11 import __time_compiled__ as __time_compiled__
from _quillon_pybind11 import __version__ as __version__
from _quillon_pybind11 import kyce as kyce
from _quillon_pybind11 import kycl as kycl
from _quillon_pybind11 import kycm as kycm
from _quillon_pybind11 import kyme as kyme
from _quillon_pybind11 import kyml as kyml

from quillon.media import Frame as Frame
from quillon.media import Video as Video
from quillon.media import open as open

if TYPE_CHECKING:
    from quillon.encoding import Writer as Writer
    from quillon.encoding import encode as encode

__all__ = ["kycm", "kyme", "kycl", "kyce", "kyml", "open", "Video", "Frame", "encode", "Writer"]


def __getattr__(name: str) -> Any:
    # The encoding side loads on first use, so that `import quillon` needs no
    # more than the module and the media layer.
    if name in ("encode", "Writer"):
        from quillon import encoding

        return getattr(encoding, name)
    raise AttributeError(f"module 'quillon' has no attribute {name!r}")
