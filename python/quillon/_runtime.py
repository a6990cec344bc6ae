"""The card's runtimes, started once per process on first use and left
running until the process ends (the libraries stop with it)."""
import threading

from _quillon_pybind11 import kycm, kyme

from quillon._errors_shim import Error

_KYCM_ALREADY_INITIALIZED = 100003
_KYME_ALREADY_INITIALIZED = 402003
_lock = threading.Lock()
_started = False


def check(code: int, library: str, what: str) -> None:
    """Raises Error naming `what` when `code` is not 0."""
    if code != 0:
        raise Error(code, library, f"{what} failed: {kycm.getErrDesc(code)}")


def start() -> None:
    """Starts the common runtime and the media engine unless they already run."""
    global _started
    with _lock:
        if _started:
            return
        code = kycm.initialize()
        if code not in (0, _KYCM_ALREADY_INITIALIZED):
            check(code, "kycm", "starting the common runtime")
        code = kyme.systemInitialize()
        if code not in (0, _KYME_ALREADY_INITIALIZED):
            check(code, "kyme", "starting the media engine")
        _started = True


def device_index(device: object) -> int:
    """The die a `device=` argument names: None is the first; otherwise an int below the device count."""
    if device is None:
        return 0
    if not isinstance(device, int) or isinstance(device, bool):
        raise TypeError(f"device must be an int or None, not {type(device).__name__}")
    if device < 0:
        raise ValueError(f"device {device} does not exist")
    start()
    code = kycm.setDevice(device)
    if code != 0:
        raise ValueError(f"device {device} does not exist: {kycm.getErrDesc(code)}")
    return device
