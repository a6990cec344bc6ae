"""kyml types: enumerations, records and constants as Python sees them."""
import pickle

import pytest

import _quillon_pybind11 as quillon

kyml = quillon.kyml
opStatus = kyml.opStatus
logLevel = kyml.logLevel

RECORDS = ["pciCardId", "pciSubSystemId", "nodeMajorMinor", "dieIndex", "nodeBaseInfo", "dieBaseInfo",
           "aiDevInfo", "codecDevInfo", "pciInfo", "capability", "cardInfo", "fanSpeedInfo", "pllClock",
           "temperature", "tempThreshold", "pinVolt", "power", "powerCur", "powerVolt", "memUtilizationRate",
           "utilizationRate", "mcuUtilizationRate", "processInfo"]


class TestEnumerations:
    def test_shared_value_resolves_to_first_member(self):
        assert opStatus(70014) == opStatus.KYML_ERROR_PROFILER_ALREADY_STOP
        assert opStatus(70014).name == "KYML_ERROR_PROFILER_ALREADY_STOP"
        assert int(opStatus.KYML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID) == 70014
        assert "KYML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID" in opStatus.__members__

    def test_members_values_and_scope(self):
        assert [int(v) for v in opStatus.__members__.values()] == [
            0, 70001, 70002, 70003, 70004, 70005, 70006, 70007, 70008, 70009, 70010, 70011, 70012, 70013,
            70014, 70014, 70016, 70017, 70018, 79999]
        assert {m: int(v) for m, v in logLevel.__members__.items()} == {
            "KYML_LOG_TRACE": 0, "KYML_LOG_DEBUG": 1, "KYML_LOG_INFO": 2, "KYML_LOG_WARN": 3,
            "KYML_LOG_ERROR": 4, "KYML_LOG_FATAL": 5, "KYML_LOG_NONE": 6}
        assert not hasattr(kyml, "KYML_SUCCESS") and not hasattr(kyml, "KYML_LOG_INFO")
        assert pickle.loads(pickle.dumps(opStatus.KYML_ERROR_MAX)) == opStatus.KYML_ERROR_MAX

    def test_plain_int_is_not_an_enumeration_argument(self):
        with pytest.raises(TypeError):
            kyml.setLogLevel(2)
        with pytest.raises(TypeError):
            kyml.errorString(70001)


class TestRecords:
    def test_new_records_are_empty(self):
        assert kyml.pllClock().unit == 0 and kyml.pllClock().clockArray == []
        assert kyml.temperature().temperature == []
        node = kyml.nodeBaseInfo()
        assert node.name == "" and node.majorMinor.major == 0 and node.majorMinor.minor == 0
        card = kyml.cardInfo()
        assert (card.uuid, card.cardTypeName, card.dieNum, card.dieInfo) == ("", "", 0, [])
        assert card.pciInfo.busId == "" and card.pciInfo.pciSubId.subcardId == 0
        mcu = kyml.mcuUtilizationRate()
        assert (mcu.ai, mcu.vdsp, mcu.vemcu, mcu.vdmcu) == (0, [], [], [])
        index = kyml.dieIndex()
        assert (index.dieId, index.cardId, index.seqNum) == (0, 0, 0)
        assert kyml.processInfo().name == ""

    @pytest.mark.parametrize("name", RECORDS)
    def test_every_field_is_read_only(self, name):
        record = getattr(kyml, name)()
        fields = [f for f in dir(type(record)) if not f.startswith("_")]
        assert fields, name
        for field in fields:
            with pytest.raises(AttributeError):
                setattr(record, field, getattr(record, field))

    def test_nested_records_refer_to_their_owner(self):
        info = kyml.cardInfo()
        pci = info.pciInfo
        del info
        assert pci.busId == ""  # the owner is kept alive by the nested object


def test_constants():
    assert {name: getattr(kyml, name) for name in (
        "kymlER_SUCCESS", "MAX_PLL_CLOCK_SUBMODULE", "MAX_TEMPERATURE_SUBMODULE", "MAX_TEMP_THRESHOLD_SUBMODULE",
        "MAX_POWER_SUMMODULE", "MAX_POWER_CURRENT_SUMMODULE", "MAX_POWER_VOLTAGE_SUMMODULE",
        "MAX_PIN_VOLT_SUMMODULE", "MAX_PVT_VOLT_SUMMODULE", "MAX_DIE_CMCU_NUM", "MAX_DIE_VDSP_NUM",
        "MAX_DIE_VDMCU_NUM", "MAX_DIE_VEMCU_NUM")} == {
        "kymlER_SUCCESS": 0, "MAX_PLL_CLOCK_SUBMODULE": 12, "MAX_TEMPERATURE_SUBMODULE": 15,
        "MAX_TEMP_THRESHOLD_SUBMODULE": 3, "MAX_POWER_SUMMODULE": 4, "MAX_POWER_CURRENT_SUMMODULE": 3,
        "MAX_POWER_VOLTAGE_SUMMODULE": 3, "MAX_PIN_VOLT_SUMMODULE": 6, "MAX_PVT_VOLT_SUMMODULE": 7,
        "MAX_DIE_CMCU_NUM": 1, "MAX_DIE_VDSP_NUM": 4, "MAX_DIE_VDMCU_NUM": 3, "MAX_DIE_VEMCU_NUM": 4}


def test_submodule_order_and_docstrings():
    names = list(vars(kyml))
    expected = ["opStatus", "logLevel", *RECORDS, "kymlER_SUCCESS", "init", "shutDown", "getVersion",
                "setLogLevel", "logMsg", "errorString", "getAiDeviceCount", "getCodecDeviceCount",
                "getAiDevInfo", "getCodecDevInfo", "getDieIndexByDevIndex", "getCardCount", "getCardInfo",
                "getManageNodeAttribute", "getDriverSWVersion", "getDieCount", "getDieInfo",
                "getNetWorkRunningInfo"]
    positions = [names.index(n) for n in expected]
    assert positions == sorted(positions)
    assert kyml.__doc__ == "ordal management library."
    assert kyml.getDieIndexByDevIndex.__doc__.endswith("\n\nget the physical index of die by logical index.\n")
    assert "arg0: int" in kyml.getCardHandleByCardId.__doc__
