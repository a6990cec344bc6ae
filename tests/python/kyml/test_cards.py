"""kyml cards on a configured two-card platform: inventory, lookups, queries;
fresh and nested records."""
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from platforms import platform, stopped  # noqa: F401

kyml = quillon.kyml
opStatus = kyml.opStatus


class TestInventory:
    def test_card_info_describes_the_configuration(self, platform):
        assert kyml.getCardCount() == 2
        first, second = kyml.getCardInfo([])
        assert (first.cardId, first.uuid, first.cardTypeName, first.dieNum) == (4660, "card-a", "QX-220", 2)
        assert (second.cardId, second.uuid, second.cardTypeName, second.dieNum) == (7, "card-b", "QX-110", 3)
        assert (second.cardCapability.aiCapability, second.cardCapability.videoCapability) == (64, 32)
        pci = second.pciInfo
        assert (pci.busId, pci.domain, pci.bus, pci.card) == ("0001:af:1f.7", 1, 0xAF, 0x1F)
        assert pci.pciSubId.subcardId == 3  # the die count
        # Dies are the runtime's devices, numbered card by card.
        assert [(d.dieIndex.dieId, d.dieIndex.cardId, d.dieIndex.seqNum, d.kyccBaseInfo.majorMinor.minor)
                for d in second.dieInfo] == [(0, 7, 2, 2), (1, 7, 3, 3), (2, 7, 4, 4)]
        manage = kyml.getManageNodeAttribute()
        assert (kyml.getDriverSWVersion(), manage.name, manage.majorMinor.major) == ("2.1.7", "/dev/kyml_ctl", 511)

    @pytest.mark.parametrize("platform", [{"cards": [{"uuid": "0123456789abcdef" * 2, "name": "N" * 31}]}],
                             indirect=True)
    def test_text_filling_its_whole_field_is_read_to_the_field_end(self, platform):
        card, = kyml.getCardInfo([])
        assert (card.uuid, card.cardTypeName) == ("0123456789abcdef" * 2, "N" * 31)  # no NUL in the field
        assert kyml.getUUID(kyml.getCardHandleByIndex(0)) == card.uuid
        testctl.arm_empty("kymlGetUUID")
        assert kyml.getUUID(kyml.getCardHandleByIndex(0)) == ""  # up to its NUL

    def test_list_is_appended_and_returned(self, platform):
        cards = ["earlier"]
        assert kyml.getCardInfo(cards) is cards and [c.cardId for c in cards[1:]] == [4660, 7]
        pytest.raises(TypeError, lambda: kyml.getCardInfo(()))

    def test_failure_leaves_the_list_unchanged(self, platform):
        cards = [1]
        testctl.arm_failure("kymlGetCardInfo", 70010)
        pytest.raises(RuntimeError, kyml.getCardInfo, cards).match(r"^get card info error, ret: 70010\.$")
        assert cards == [1]


class TestLookups:
    def test_every_lookup_finds_the_same_card(self, platform):
        handle = kyml.getCardHandleByIndex(1)
        assert kyml.getCardHandleByCardId(7) == kyml.getCardHandleByUUID("card-b") == handle
        assert kyml.getCardHandleByPciBusId("0001:af:1f.7") == kyml.getCardHandleByPciBusId("0001:AF:1F.7") == handle
        assert kyml.getCardHandleByPciBusId("3b:00.0") == kyml.getCardHandleByIndex(0) != handle
        assert (kyml.getUUID(handle), kyml.getPciInfo(handle).busId) == ("card-b", "0001:af:1f.7")

    @pytest.mark.parametrize("lookup, key, message", [
        ("getCardHandleByIndex", 2, "get card handle by index error, ret: 70006."),
        ("getCardHandleByPciBusId", "0000:3c:00.0", "get card handle by pci bus id error, ret: 70006."),
        ("getCardHandleByPciBusId", "not a bus", "get card handle by pci bus id error, ret: 70008."),
        ("getUUID", 12345, "get uuid error, ret: 70008."),
    ])
    def test_misses_and_bad_arguments(self, platform, lookup, key, message):
        assert str(pytest.raises(RuntimeError, getattr(kyml, lookup), key).value) == message

    def test_card_id_above_16_bits_never_reaches_the_library(self, stopped, journal):
        pytest.raises(TypeError, kyml.getCardHandleByCardId, 65536)
        pytest.raises(TypeError, lambda: kyml.getCardHandleByIndex(-1))
        assert journal() == []
        pytest.raises(RuntimeError, kyml.getCardHandleByCardId, 65535).match("70001")
        assert journal() == [("kymlGetCardHandleByCardId", (65535, True))]



class TestRecords:
    def test_capability_and_fan_speed(self, platform, journal):
        handle = kyml.getCardHandleByCardId(7)
        capability, fan = kyml.capability(), kyml.fanSpeedInfo()
        assert kyml.getCapability(handle, capability) == kyml.getFanSpeedInfo(handle, fan) == opStatus.KYML_SUCCESS
        assert (capability.aiCapability, capability.videoCapability, fan.fanSpeedLevel) == (64, 32, 60)
        assert journal()[-2:] == [("kymlGetCapability", (handle, True)), ("kymlGetFanSpeedInfo", (handle, True))]
        assert kyml.getFanSpeedInfo(1, fan) == opStatus.KYML_ERROR_INPUT_PARAMETER_ERROR  # no card's handle

    def test_new_records_are_empty(self):
        assert (kyml.pllClock().unit, kyml.pllClock().clockArray, kyml.nodeBaseInfo().name) == (0, [], "")
        card, mcu = kyml.cardInfo(), kyml.mcuUtilizationRate()
        assert (card.uuid, card.cardTypeName, card.dieNum, card.dieInfo) == ("", "", 0, [])
        assert (card.pciInfo.busId, card.pciInfo.pciSubId.subcardId) == ("", 0)
        assert (mcu.ai, mcu.vdsp, mcu.vemcu, mcu.vdmcu) == (0, [], [], [])

    def test_nested_records_keep_their_owner_alive(self):
        info = kyml.cardInfo()
        pci = info.pciInfo
        del info
        assert pci.busId == ""
