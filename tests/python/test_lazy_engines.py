"""Importing the module loads neither the codecs nor OpenCV's dnn: libkyme
and libkycl open their engines on the first call. An engine that cannot be
opened makes every call of its library return the library's code for a
failure, and the runtime's log says which file and why."""
import json
import os
import shutil
import subprocess
import sys

from conftest import MODULE_DIR

HEAVY = ("libkyme_engine", "libavcodec", "libkycl_engine", "libopencv_dnn")

MAPPED = """
import json, sys
sys.path.insert(0, sys.argv[1])
def mapped():
    text = open("/proc/self/maps").read()
    return sorted(name for name in %r if name + "." in text)
import _quillon_pybind11 as q
seen = {"import": mapped()}
q.kycm.initialize()
seen["kyme call"] = (q.kyme.systemInitialize(), mapped())
q.kycl.getVersion()
seen["kycl call"] = mapped()
print(json.dumps(seen))
""" % (HEAVY,)


def test_engines_load_on_the_first_call():
    child = subprocess.run([sys.executable, "-c", MAPPED, str(MODULE_DIR)], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    seen = json.loads(child.stdout)
    assert seen["import"] == []
    assert seen["kyme call"] == [0, ["libavcodec", "libkyme_engine"]]
    assert seen["kycl call"] == sorted(HEAVY)


UNLOADABLE = """
import ctypes, json, sys
kyme, kycl = (ctypes.CDLL(f"{sys.argv[1]}/lib{name}.so") for name in ("kyme", "kycl"))
codes = {"kymeSystemInitialize": kyme.kymeSystemInitialize(), "kymeSystemUninitialize": kyme.kymeSystemUninitialize(),
         "kyclCreateOpGraph": kycl.kyclCreateOpGraph(ctypes.byref(ctypes.c_void_p()))}
print(json.dumps(codes))
"""


def test_an_engine_that_cannot_be_loaded_fails_every_call_with_the_reason(tmp_path):
    for name in ("kyme", "kycl"):  # the fronts alone, their engines missing beside them
        shutil.copy(MODULE_DIR / f"lib{name}.so", tmp_path)
    environment = dict(os.environ, QUILLON_LOG="stderr", QUILLON_LOG_LEVEL="info")
    child = subprocess.run([sys.executable, "-c", UNLOADABLE, str(tmp_path)], capture_output=True, text=True,
                           timeout=120, env=environment)
    assert child.returncode == 0, child.stderr[-2000:]
    assert json.loads(child.stdout) == {"kymeSystemInitialize": 402016, "kymeSystemUninitialize": 402016,
                                        "kyclCreateOpGraph": 100090}
    lines = [line for line in child.stderr.splitlines() if "cannot load" in line]
    assert len(lines) == 2  # once per library, not once per call
    assert f"{tmp_path}/libkyme_engine.so" in lines[0] and "[ME] [ERROR]" in lines[0]
    assert f"{tmp_path}/libkycl_engine.so" in lines[1] and "[CL] [ERROR]" in lines[1]
