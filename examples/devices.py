"""List the accelerator's devices and make a context current on each.

Run it with the module on the path (scripts/run.sh does that):

    python3 examples/devices.py
"""
import _quillon_pybind11 as quillon

kycm = quillon.kycm


def main() -> None:
    print(f"quillon {quillon.__version__} (built {quillon.__time_compiled__})")
    ret = kycm.initialize()
    if ret != kycm.kycmER_SUCCESS:
        raise SystemExit(f"initialize failed: {kycm.getErrDesc(ret)} (code {ret})")
    print(f"common runtime {kycm.getVersion()} initialised")

    device = 0
    while kycm.setDevice(device) == kycm.kycmER_SUCCESS:
        context = kycm.createContext(device)
        kycm.setCurrentContext(context)
        current = kycm.getCurrentContext()
        print(f"device {kycm.getDevice()}: context created and made current"
              f" ({'ok' if current is not None else 'missing'})")
        kycm.setCurrentContext(None)
        kycm.destroyContext(context)
        device += 1
    print(f"{device} device(s) found")

    kycm.uninitialize()
    print("runtime released")


if __name__ == "__main__":
    main()
