"""Cost of a value-returning call and of importing the module."""
import ctypes
import statistics
import subprocess
import sys

from harness import BUILD, Timing, interleaved

NUMBER = 200_000


def run(report):
    import _quillon_pybind11 as quillon
    import _quillon_testctl as testctl

    kycm = quillon.kycm
    kycm.initialize()
    lib = ctypes.CDLL(str(BUILD / "python" / "libkycm.so"))
    lib.kycmGetDevice.argtypes = [ctypes.POINTER(ctypes.c_uint32)]
    lib.kycmGetDevice.restype = ctypes.c_uint32

    def via_ctypes():
        out = ctypes.c_uint32()
        lib.kycmGetDevice(ctypes.byref(out))
        return out.value

    get_device, noop, through_ctypes = interleaved([kycm.getDevice, testctl.noop, via_ctypes], NUMBER)
    report.ratio("getDevice / no-op pybind11 function", get_device / noop, 1.15, False,
                 runs={"getDevice": get_device, "no-op": noop})
    report.ratio("ctypes getDevice / getDevice", through_ctypes / get_device, 4.0, True,
                 runs={"ctypes": through_ctypes, "getDevice": get_device})
    kycm.uninitialize()

    # Import time in a fresh interpreter, against the interpreter's own start.
    probe = ("import sys, time; sys.path.insert(0, sys.argv[1]); t = time.perf_counter(); "
             "import _quillon_pybind11; print(time.perf_counter() - t)")
    times = [float(subprocess.check_output([sys.executable, "-c", probe, str(BUILD / "python")]))
             for _ in range(5)]
    middle = statistics.median(times)
    report.ratio("import time / 50 ms budget", middle / 0.050, 1.0, False, runs={"import": Timing(times)})
