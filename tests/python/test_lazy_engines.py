"""libkyme and libkycl open their engines on the first call, not at import; an engine that cannot be opened
fails every call of its library and is named once in the log."""
import os
import shutil

from conftest import MODULE_DIR, child_json

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
    seen = child_json(MAPPED, MODULE_DIR)
    assert seen["import"] == [] and seen["kyme call"] == [0, ["libavcodec", "libkyme_engine"]]
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
    environment = dict(os.environ, QUILLON_LOG=str(tmp_path / "log"), QUILLON_LOG_LEVEL="info")
    assert child_json(UNLOADABLE, tmp_path, env=environment) == {
        "kymeSystemInitialize": 402016, "kymeSystemUninitialize": 402016, "kyclCreateOpGraph": 100090}
    lines = [line for line in (tmp_path / "log").read_text().splitlines() if "cannot load" in line]
    assert len(lines) == 2  # once per library, not once per call
    assert f"{tmp_path}/libkyme_engine.so" in lines[0] and "[ME] [ERROR]" in lines[0]
    assert f"{tmp_path}/libkycl_engine.so" in lines[1] and "[CL] [ERROR]" in lines[1]
