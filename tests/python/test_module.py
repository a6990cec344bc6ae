"""What importing the module sets up: attributes, submodules, constants, the one exported symbol and the
interpreter version check."""
import glob
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import MODULE_DIR, quillon

EXPECTED_DOC = "\n" + "".join(f"        {line}\n" for line in [
    "The Ordal SDK", "-----------------------", ".. currentmodule:: quillon", ".. autosummary::",
    "   :toctree: _generate", "   kycm", "   kyme", "   kycl", "   kyml", "   kyce"]) + "    "

SUBMODULES = {"kycm": "ordal common library.", "kyme": "ordal media engine.", "kycl": "ordal Accelerate Language.",
              "kyce": "ordal  preprocess op engine.", "kyml": "ordal management library."}


def test_module_attributes_and_submodules_registered_under_dotted_names():
    assert quillon.__doc__ == EXPECTED_DOC and quillon.__version__ == "2.1.0.2"
    # "Mar  7 2023 15:48:04": the date keeps its padded day, one space, the time.
    assert re.fullmatch(r"[A-Z][a-z]{2} [ 123]\d \d{4} \d\d:\d\d:\d\d", quillon.__time_compiled__)
    names = list(vars(quillon))
    positions = [names.index(name) for name in SUBMODULES]
    assert positions == sorted(positions), "submodules created in the order kycm, kyme, kycl, kyce, kyml"
    assert names.index("__version__") < names.index("__time_compiled__") < positions[0]
    for name, doc in SUBMODULES.items():
        sub = getattr(quillon, name)
        assert (sub.__doc__, sub.__name__) == (doc, f"_quillon_pybind11.{name}")
        assert sys.modules[f"_quillon_pybind11.{name}"] is sub
    assert (quillon.kycl.kyclER_SUCCESS, quillon.kycl.kyclER_WAIT_MORE_INPUT) == (0, 301041)  # set by the entry


def test_the_entry_point_is_the_only_exported_symbol():
    listing = subprocess.run(["nm", "-D", "--defined-only", quillon.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__quillon_pybind11"]


def test_another_interpreter_refuses_the_import(tmp_path):
    # An untagged copy lets any interpreter try to load it; the libraries are
    # found through the module's run path in the build tree.
    shutil.copy(quillon.__file__, tmp_path / "_quillon_pybind11.so")
    own = "%d.%d" % sys.version_info[:2]
    script = (f"import sys, json\nsys.path.insert(0, {str(tmp_path)!r})\nerror = None\ntry:\n"
              "    import _quillon_pybind11\nexcept ImportError as e:\n    error = str(e)\n"
              "print(json.dumps(['%d.%d' % sys.version_info[:2], sys.version, error]))\n")
    tried = 0
    for interpreter in sorted(set(glob.glob("/root/.pyenv/versions/*/bin/python3") + glob.glob("/usr/bin/python3.*"))):
        if re.search(r"-config$|m$", interpreter) or not os.access(interpreter, os.X_OK):
            continue
        run = subprocess.run([interpreter, "-c", script], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        version, full, error = json.loads(run.stdout)
        if version == own or "undefined symbol" in (error or ""):
            continue  # the same version, or too different an ABI to even load
        tried += 1
        assert error == f"Python version mismatch: module was compiled for Python {own}, but the interpreter " \
                        f"version is incompatible: {full}."
    if tried == 0:
        pytest.skip("no interpreter of another Python version could load the module file")


def test_installed_module_loads_without_library_path(tmp_path):
    build = MODULE_DIR.parent
    install = subprocess.run(["cmake", "--install", str(build), "--prefix", str(tmp_path)],
                             capture_output=True, text=True)
    assert install.returncode == 0, install.stderr
    installed = list(tmp_path.glob("**/_quillon_pybind11*.so"))
    assert len(installed) == 1
    assert not list(tmp_path.glob("**/_quillon_testctl*")), "the test-only module is never installed"
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    script = "import sys; sys.path.insert(0, sys.argv[1]); import _quillon_pybind11 as q; " \
             "print(q.__file__, q.kycm.initialize())"
    probe = subprocess.run([sys.executable, "-c", script, str(installed[0].parent)], capture_output=True, text=True,
                           env=env, cwd=tmp_path)
    assert probe.returncode == 0, probe.stderr
    assert probe.stdout.split() == [str(installed[0]), "0"]
