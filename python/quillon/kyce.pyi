# The submodule under the package's dotted name (see __init__.py).
from _quillon_pybind11.kyce import *  # noqa: F401,F403
