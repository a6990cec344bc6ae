"""No C++ exception leaves a C function: checked from each library's symbols and sources, and by exceptions
raised inside functions of every library."""
import importlib.util

import pytest

from conftest import MODULE_DIR, ROOT, child_json

loader = importlib.util.spec_from_file_location("c_boundary", ROOT / "scripts" / "c-boundary.py")
c_boundary = importlib.util.module_from_spec(loader)
loader.loader.exec_module(c_boundary)


@pytest.mark.parametrize("library", c_boundary.LIBRARIES)
def test_every_exported_function_keeps_exceptions_inside(library):
    assert c_boundary.check(library, MODULE_DIR / f"lib{library}.so") == []


# Each call through the C interface, once with std::bad_alloc and once with
# another exception armed inside it; a child process, since an exception that
# escapes ends the process.
CHILD = """
import ctypes, json, sys
sys.path.insert(0, sys.argv[1])
import _quillon_testctl as testctl
lib = {name: ctypes.CDLL(f"{sys.argv[1]}/lib{name}.so") for name in ("kycm", "kyme", "kycl", "kyce", "kyml")}
out = ctypes.c_void_p()
number = ctypes.c_uint32()
calls = {
    "kycmCreateDataset": lambda: lib["kycm"].kycmCreateDataset(0, ctypes.byref(out)),
    "kymeSystemInitialize": lambda: lib["kyme"].kymeSystemInitialize(),
    "kyclCreateModel": lambda: lib["kycl"].kyclCreateModel(b"m.onnx", b"", b"", None, ctypes.byref(out)),
    "kyceGetVersion": lambda: lib["kyce"].kyceGetVersion(ctypes.byref(out), None, None, None, None),
    "kymlGetCardCount": lambda: lib["kyml"].kymlGetCardCount(ctypes.byref(number)),
}
codes = {}
for name, call in calls.items():
    for out_of_memory in (True, False):
        testctl.arm_exception(name, out_of_memory)
        codes[f"{name} {'out of memory' if out_of_memory else 'other'}"] = call()
lib["kyml"].kymlErrorString.restype = ctypes.c_char_p
testctl.arm_exception("kymlErrorString")
codes["kymlErrorString"] = lib["kyml"].kymlErrorString(0)
print(json.dumps(codes))
"""


def test_exceptions_inside_c_functions_come_back_as_codes():
    assert child_json(CHILD, MODULE_DIR) == {
        "kycmCreateDataset out of memory": 100009, "kycmCreateDataset other": 100090,
        "kymeSystemInitialize out of memory": 402011, "kymeSystemInitialize other": 402016,
        "kyclCreateModel out of memory": 100009, "kyclCreateModel other": 100090,
        "kyceGetVersion out of memory": 200009, "kyceGetVersion other": 200009,
        "kymlGetCardCount out of memory": 70003, "kymlGetCardCount other": 70003,
        "kymlErrorString": None}
