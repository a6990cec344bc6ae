"""The common runtime and its dies: starting the runtime once per process,
choosing the die a piece of work runs on, and listing the dies.

The runtime's current device is one setting for the whole process, so every
part of the package that allocates or creates on a die does it inside
`on_device(index)`, which holds one lock while the die is current.
"""
from __future__ import annotations

import contextlib
import threading
from dataclasses import dataclass
from typing import Iterator, List, Optional

from _quillon_pybind11 import kycm, kyme, kyml

from .errors import Code, call, check

__all__ = ["Device", "devices"]

_ALREADY_INITIALIZED = int(Code.KYCM_ALREADY_INITIALIZED)
_INVALID_DEVICE = int(Code.KYCM_INVALID_DEVICE)
_KYML_ALREADY_INITIALIZED = int(Code.KYML_ERROR_INITIALIZED)
_KYME_ALREADY_INITIALIZED = int(Code.KYME_ALREADY_INITIALIZED)
_lock = threading.RLock()


@dataclass(frozen=True)
class Device:
    """One die of a card: device `index` of the common runtime (the number
    `device=` takes), the `card` it sits on (its position among the cards)
    and its `die` number there, the card's `name`, and the die's memory in
    bytes."""

    index: int
    card: int
    die: int
    name: str
    memory_total: int
    memory_free: int


def start() -> None:
    """Initialises the common runtime unless it already is; it then stays
    initialised for the life of the process."""
    code = kycm.initialize()
    if code not in (0, _ALREADY_INITIALIZED):
        check(code, "kycm", "cannot start the common runtime")


def start_media() -> None:
    """Starts the common runtime and the media engine unless they already
    run; both then stay started for the life of the process."""
    start()
    code = kyme.systemInitialize()
    if code not in (0, _KYME_ALREADY_INITIALIZED):
        check(code, "kyme", "cannot start the media engine")


def device_count() -> int:
    """The number of dies of the platform."""
    start()
    with _management():
        return int(kyml.getAiDeviceCount())


def resolve(device: Optional[int]) -> int:
    """The device index `device` names (None: the first die), checked
    against the platform."""
    if device is None:
        device = 0
    if isinstance(device, bool) or not isinstance(device, int):
        raise TypeError(f"device must be a die index (int) or None, not {type(device).__name__}")
    with _lock:
        start()
        code = kycm.setDevice(device) if 0 <= device < 1 << 32 else _INVALID_DEVICE
    if code == 0:
        return device
    if code != _INVALID_DEVICE:
        check(code, "kycm", f"cannot select device {device}")
    count = device_count()
    raise ValueError(f"device {device} does not exist: the platform has {count} "
                     f"die{'s' if count != 1 else ''} (0 to {count - 1})")


@contextlib.contextmanager
def on_device(index: int) -> Iterator[None]:
    """Makes die `index` the runtime's current device for the calls made
    inside, which no other thread of the package can change meanwhile."""
    with _lock:
        start()
        check(kycm.setDevice(index), "kycm", f"cannot select device {index}")
        yield


@contextlib.contextmanager
def _management() -> Iterator[None]:
    """The management library, initialised for the calls inside (and shut
    down again if this started it)."""
    code = kyml.init()
    if int(code) not in (0, _KYML_ALREADY_INITIALIZED):
        check(int(code), "kyml", "cannot start the management library")
    try:
        yield
    finally:
        if int(code) == 0:
            kyml.shutDown()


def devices() -> List[Device]:
    """Every die of the platform, in device order, with its card, name and
    memory (total and free, in bytes, as the management library reports
    them at this moment).

    >>> [(d.index, d.card, d.die) for d in quillon.devices()]
    [(0, 0, 0), (1, 0, 1)]
    """
    start()
    found: List[Device] = []
    with _management():
        cards = list(kyml.getCardInfo([]))
        positions = {int(card.cardId): number for number, card in enumerate(cards)}
        for index in range(int(kyml.getAiDeviceCount())):
            card_id, die, _ = call(lambda: kycm.getDeviceIdInfo(index), "kycm",
                                   f"cannot read device {index}'s card and die")
            handle = call(lambda: kyml.getDieHandleByDieIndex(kyml.getDieIndexByDevIndex(index)), "kyml",
                          f"cannot find die of device {index}")
            memory = call(lambda: kyml.getMemUtilizationRate(handle), "kyml",
                          f"cannot read device {index}'s memory")
            card = positions.get(int(card_id), int(card_id))
            name = str(cards[card].cardTypeName) if card < len(cards) else ""
            found.append(Device(index, card, int(die), name, int(memory.total), int(memory.free)))
    return found
