"""Platforms and fixtures shared by the management library's tests."""
import json

import pytest

import _quillon_pybind11 as quillon

kycm = quillon.kycm
kyml = quillon.kyml

# Two cards: the first with two small dies, the second with three.
TWO_CARDS = {"driver_version": "2.1.7", "cards": [
    {"card_id": 4660, "uuid": "card-a", "pci_bus_id": "0000:3b:00.0",
     "dies": [{"memory_mib": 64}, {"memory_mib": 128}]},
    {"card_id": 7, "uuid": "card-b", "name": "QX-110", "pci_bus_id": "0001:af:1f.7", "fan_speed": 60,
     "ai_capability": 64, "video_capability": 32, "dies": [{"memory_mib": 256}] * 3}]}

# Device 7 is the third die (dieId 2) of the card with id 4660.
EIGHT_DEVICES = {"cards": [{"card_id": 1, "dies": 4}, {"card_id": 2, "dies": 1}, {"card_id": 4660, "dies": 3}]}


@pytest.fixture
def platform(request):
    """The test's platform (default: two cards) installed through the runtime, with kyml started; undone after."""
    config = getattr(request, "param", TWO_CARDS)
    kycm.uninitialize()
    assert kycm.initialize(json.dumps(config)) == 0
    kyml.shutDown()
    assert kyml.init() == kyml.opStatus.KYML_SUCCESS
    yield config
    kyml.shutDown()
    kycm.uninitialize()
    kycm.initialize()  # back to QUILLON_PLATFORM or the default
    kycm.uninitialize()


@pytest.fixture
def stopped():
    """The management library not initialised, and left that way."""
    kyml.shutDown()
    yield
    kyml.shutDown()
