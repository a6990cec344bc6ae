"""The dies' utilisation from the management library (kyml), as a progress
line or a dashboard reads it:

    with quillon.Monitor([0, 1]) as monitor:
        for load in monitor.loads():
            print(f"{load.card}:{load.die} {load.decoder}/{load.dsp}/{load.ai}%")
"""
from __future__ import annotations

import threading
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

from _quillon_pybind11 import kycm, kyml

__all__ = ["Monitor", "DieLoad"]


class DieLoad(NamedTuple):
    """One die's utilisation: `device` (the runtime's index), `card` and
    `die` (where it is), and the percentages of its video decoder
    (`decoder`), its DSP (`dsp`) and its AI engine (`ai`)."""

    device: int
    card: int
    die: int
    decoder: int
    dsp: int
    ai: int


class Monitor:
    """The utilisation of the dies `devices`, read with `loads()` inside a
    `with` block (or between `open()` and `close()`).

    The management library answers only once started: the monitor starts
    it unless the program has already, and shuts it down as it closes only
    if it started it. A die the library does not know is left out of
    `loads()`, and if the library cannot be started at all `loads()` is
    empty: utilisation is for showing, never a reason to fail.
    """

    def __init__(self, devices: Sequence[int]) -> None:
        self.devices = [int(device) for device in devices]
        self._lock = threading.Lock()  # guards _started and _handles
        self._started = False  # whether this monitor started the library (and shuts it down)
        self._handles: Optional[List[Tuple[int, int, int, Any]]] = None  # (device, card, die, handle), once open

    def open(self) -> "Monitor":
        """Starts the management library if needed and finds the dies."""
        with self._lock:
            if self._handles is not None:
                return self
            self._handles = []
            code = int(kyml.init())
            if code not in (0, int(kyml.opStatus.KYML_ERROR_INITIALIZED)):
                return self
            self._started = code == 0
            for device in self.devices:
                try:
                    card, die, _ = kycm.getDeviceIdInfo(device)
                    handle = kyml.getDieHandleByDieIndex(kyml.getDieIndexByDevIndex(device))
                except (RuntimeError, ValueError, TypeError):
                    continue
                self._handles.append((device, int(card), int(die), handle))
        return self

    def loads(self) -> List[DieLoad]:
        """Each die's utilisation now, in the order of `devices`."""
        with self._lock:
            handles = list(self._handles or ())
        loads = []
        for device, card, die, handle in handles:
            try:
                rates = kyml.getUtilizationRate(handle)
            except (RuntimeError, ValueError):
                continue
            loads.append(DieLoad(device, card, die, int(rates.vdmcu), int(rates.vdsp), int(rates.ai)))
        return loads

    def close(self) -> None:
        """Shuts the management library down if this monitor started it."""
        with self._lock:
            self._handles = None
            started, self._started = self._started, False
        if started:
            kyml.shutDown()

    def __enter__(self) -> "Monitor":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<quillon.Monitor devices={self.devices}>"
