"""The package's own surface: dies as the management library sees them,
errors carrying their library and code, submodules by dotted name."""
import os
import pickle
import subprocess
import sys

import pytest

from package_support import quillon

import _quillon_pybind11


def test_devices_list_every_die_with_its_memory_in_use():
    kycm = quillon.kycm
    dies = quillon.devices()
    assert [(d.index, d.card, d.die, d.name) for d in dies] == [(0, 0, 0, "QX-220"), (1, 0, 1, "QX-220")]
    assert all(d.memory_total == 4 << 30 and d.memory_free <= d.memory_total for d in dies)
    kycm.setDevice(1)
    block = kycm.malloc(3 << 20)
    try:
        after = quillon.devices()
        assert after[1].memory_free <= dies[1].memory_free - (3 << 20) and after[0].memory_free == dies[0].memory_free
    finally:
        kycm.free(block)


def test_errors_carry_library_code_and_description():
    kinds = {"kycm": quillon.CommonRuntimeError, "kyme": quillon.MediaError, "kycl": quillon.InferenceError,
             "kyce": quillon.PreprocessError, "kyml": quillon.ManagementError}
    for library, kind in kinds.items():
        error = kind(100005, "closing the thing")
        assert isinstance(error, quillon.Error) and isinstance(error, RuntimeError) and error.library == library
        assert error.description == quillon.kycm.getErrDesc(100005)
        assert str(error) == f"closing the thing: {error.description.rstrip('.')} ({library} code 100005)"
        copy = pickle.loads(pickle.dumps(error))
        assert (type(copy), copy.code, str(copy)) == (kind, 100005, str(error))
    # A value-returning function's RuntimeError becomes the library's error with its code.
    with pytest.raises(quillon.CommonRuntimeError) as raised:
        quillon.errors.call(lambda: quillon.kycm.getDataBufferSize(None), "kycm", "reading a size")
    assert raised.value.code == 100005 and isinstance(raised.value.__cause__, RuntimeError)


def test_submodules_import_by_dotted_name_and_the_layer_lazily():
    program = ("import sys, quillon.kycm, quillon.kyml as kyml; from quillon.kycl import createModel; "
               "import _quillon_pybind11 as m; from quillon import kycm; "
               "assert quillon.kycm is m.kycm is kycm and kyml is m.kyml and createModel is m.kycl.createModel; "
               "assert 'quillon.media' not in sys.modules and 'open' in dir(quillon); "
               "print(sorted(set(quillon.__all__) - set(dir(quillon))))")
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        quillon.nothing  # noqa: B018
    assert _quillon_pybind11.kycm is quillon.kycm


CTRL_C_WHILE_LOADING = """
import importlib.abc, os, signal, sys

class CtrlC(importlib.abc.MetaPathFinder):  # Ctrl-C as the package loads `target`
    def find_spec(self, name, path, target=None):
        if name == sys.argv[1]:
            os.kill(os.getpid(), signal.SIGINT)
        return None

sys.meta_path.insert(0, CtrlC())
# Ctrl-C as a program started from a terminal has it: a run started in the
# background, where the shell ignores it, would pass that on.
signal.signal(signal.SIGINT, signal.default_int_handler)
try:
    import quillon
    quillon.open
except KeyboardInterrupt:
    import quillon  # whole: loads again at once
    print(sys.argv[1] in sys.modules, signal.getsignal(signal.SIGINT) is signal.default_int_handler,
          quillon.Model.__name__, quillon.open.__name__)
"""


def test_ctrl_c_while_the_package_loads_is_raised_once_it_is_whole():
    for target in ("quillon.models", "quillon._native"):
        done = subprocess.run([sys.executable, "-c", CTRL_C_WHILE_LOADING, target], capture_output=True, text=True,
                              timeout=60, env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
        assert done.stdout.split() == ["True", "True", "Model", "open"], (target, done.stderr)


def test_a_monitor_reads_each_die_and_shuts_down_only_what_it_started():
    kyml = quillon.kyml
    kyml.shutDown()
    with quillon.Monitor([0, 1, 99]) as monitor:  # no die 99: left out
        loads = monitor.loads()
    assert [(load.device, load.card, load.die) for load in loads] == [(0, 0, 0), (1, 0, 1)]
    assert all(isinstance(value, int) and 0 <= value <= 100 for load in loads for value in load[3:])
    assert kyml.shutDown() == kyml.opStatus.KYML_ERROR_UNINITIALIZED  # the monitor started it and shut it down
    assert kyml.init() == kyml.opStatus.KYML_SUCCESS
    with quillon.Monitor([1]) as monitor:
        assert [load.device for load in monitor.loads()] == [1]
    assert kyml.shutDown() == kyml.opStatus.KYML_SUCCESS  # the program's, left running


def test_codec_messages_count_the_decoders_errors():
    counts = quillon.codec_messages()
    assert set(counts) == {"errors", "concealed", "missing_references"} and 0 <= counts["concealed"] <= counts["errors"]
