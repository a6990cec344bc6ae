"""kyml dies and device indices: handles, sensors, utilisation, processes."""
import os

import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from platforms import EIGHT_DEVICES, platform  # noqa: F401

kycm = quillon.kycm
kyml = quillon.kyml
opStatus = kyml.opStatus

SENSORS = [  # binding, record, list field, readings
    ("getPllClocks", "pllClock", "clockArray", 12), ("getTemperature", "temperature", "temperature", 15),
    ("getPower", "power", "power", 4), ("getPinVolt", "pinVolt", "pinVolt", 6),
    ("getPowerCur", "powerCur", "powerCur", 3), ("getPowerVolt", "powerVolt", "powerVolt", 3),
    ("getTempThreshold", "tempThreshold", "tempThreshold", 3),
]


def dies():
    """Every die handle, card by card."""
    handles = []
    for c in range(kyml.getCardCount()):
        card = kyml.getCardHandleByIndex(c)
        handles += [kyml.getDieHandleByIndex(card, d) for d in range(kyml.getDieCount(card))]
    return handles


class TestDieHandles:
    def test_die_info_appends_and_agrees_with_handles(self, platform):
        card, listed = kyml.getCardHandleByCardId(7), ["earlier"]
        assert kyml.getDieInfo(card, listed) is listed and len(listed) == 1 + kyml.getDieCount(card) == 4
        for position, info in enumerate(listed[1:]):
            assert (info.dieIndex.dieId, info.dieIndex.cardId) == (position, 7)
            assert kyml.getDieHandleByDieIndex(info.dieIndex) == kyml.getDieHandleByIndex(card, position)
        assert len(set(dies())) == 5

    @pytest.mark.parametrize("platform", [EIGHT_DEVICES], indirect=True)
    def test_die_index_word_packing(self, platform, journal):
        index = kyml.getDieIndexByDevIndex(7)
        assert (index.dieId, index.cardId, index.seqNum) == (2, 4660, 7)
        die = kyml.getDieHandleByDieIndex(index)
        assert journal()[-1] == ("kymlGetDieHandleByDieIndex", (118633474, True))
        assert die == kyml.getDieHandleByIndex(kyml.getCardHandleByCardId(4660), 2)


class TestDevicesAndSensors:
    def test_ai_and_codec_devices_are_the_runtime_devices(self, platform):
        assert kyml.getAiDeviceCount() == kyml.getCodecDeviceCount() == 5
        ai, codec = kyml.getAiDevInfo(5), kyml.getCodecDevInfo(5)
        for device in range(5):
            index = kyml.getDieIndexByDevIndex(device)
            assert ai[device].dieIndex.seqNum == codec[device].dieIndex.seqNum == index.seqNum == device
            assert ai[device].aiBaseInfo.name == f"/dev/kycc{device}"
            assert codec[device].videoBaseInfo.name == f"/dev/kyvideo{device}"
        assert kycm.setDevice(4) == 0 and kycm.setDevice(5) != 0

    def test_counts_beyond_the_platform_and_zero(self, platform, journal):
        assert kyml.getAiDevInfo(0) == []
        assert journal()[-1] == ("kymlGetAiDevInfo", (True, 0))  # an empty array, not a null one
        extra = kyml.getAiDevInfo(7)
        assert len(extra) == 7 and extra[6].aiBaseInfo.name == ""

    @pytest.mark.parametrize("binding, record, field, readings", SENSORS)
    def test_fill_sets_exactly_the_record_readings(self, platform, binding, record, field, readings):
        die, value = dies()[0], getattr(kyml, record)()
        assert getattr(kyml, binding)(die, value) == opStatus.KYML_SUCCESS
        before = list(getattr(value, field))
        assert len(before) == readings and value.unit > 0
        testctl.arm_failure("kymlG" + binding[1:], 70006)
        pytest.raises(RuntimeError, getattr(kyml, binding), die, value).match(r"error, ret: 70006\.$")
        assert getattr(value, field) == before


class TestMemoryAndProcesses:
    def test_memory_utilisation_and_processes_follow_allocations_and_contexts(self, platform):
        die = dies()[1]  # device 1: 128 MiB
        idle = kyml.getMemUtilizationRate(die)
        assert (idle.total, idle.used, idle.free, idle.utilizationRate) == (128 << 20, 0, 128 << 20, 0)
        assert kycm.setDevice(1) == 0
        address = kycm.malloc(40 << 20)
        try:
            busy = kyml.getMemUtilizationRate(die)
            assert (busy.used, busy.free, busy.utilizationRate) == (40 << 20, 88 << 20, 31)
            assert kyml.getMemUtilizationRate(dies()[0]).used == 0
            me, = kyml.getRunningProcesses(die, [])
            assert (me.pid, me.memused) == (os.getpid(), 40)
            assert me.name and me.name in open("/proc/self/cmdline", "rb").read().decode(errors="replace")
            assert kyml.getNetWorkRunningInfo(die, []) == []  # no models loaded
        finally:
            assert kycm.free(address) == 0
        assert kyml.getMemUtilizationRate(die).used == 0 and kyml.getRunningProcesses(die, []) == []

        # A context alone lists the process on its device, using no memory.
        context = kycm.createContext(3)
        listed = [kyml.getRunningProcesses(die, []) for die in dies()]
        assert kycm.destroyContext(context) == 0
        assert [len(p) for p in listed] == [0, 0, 0, 1, 0] and listed[3][0].memused == 0
