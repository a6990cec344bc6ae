"""The kyml submodule's whole surface, table by table: what it holds and in
which order, every function's rendered signature and docstring, every
failure message, and the fields of every record."""
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl

kyml = quillon.kyml
P = "_quillon_pybind11.kyml."

RECORD_FIELDS = {
    "pciCardId": ["renderId", "cardId"],
    "pciSubSystemId": ["subRenderId", "subcardId"],
    "nodeMajorMinor": ["minor", "major"],
    "dieIndex": ["dieId", "cardId", "seqNum"],
    "nodeBaseInfo": ["majorMinor", "name"],
    "dieBaseInfo": ["dieIndex", "kyccBaseInfo", "renderBaseInfo", "videoBaseInfo"],
    "aiDevInfo": ["dieIndex", "aiBaseInfo"],
    "codecDevInfo": ["dieIndex", "videoBaseInfo"],
    "pciInfo": ["busId", "domain", "bus", "card", "pciId", "pciSubId", "pcieCardBaseInfo",
                "pcieCardVersionBaseInfo", "pcieCardCtlBaseInfo"],
    "capability": ["aiCapability", "videoCapability"],
    "cardInfo": ["cardId", "uuid", "cardTypeName", "pciInfo", "cardCapability", "manNodeBaseInfo", "dieNum",
                 "dieInfo"],
    "fanSpeedInfo": ["fanSpeedLevel"],
    "pllClock": ["unit", "clockArray"],
    "temperature": ["unit", "temperature"],
    "tempThreshold": ["unit", "tempThreshold"],
    "pinVolt": ["unit", "pinVolt"],
    "power": ["unit", "power"],
    "powerCur": ["unit", "powerCur"],
    "powerVolt": ["unit", "powerVolt"],
    "memUtilizationRate": ["total", "free", "used", "utilizationRate"],
    "utilizationRate": ["ai", "vdsp", "vemcu", "vdmcu"],
    "mcuUtilizationRate": ["ai", "vdsp", "vemcu", "vdmcu"],
    "processInfo": ["pid", "memused", "name"],
}

CONSTANTS = ["kymlER_SUCCESS", "MAX_PLL_CLOCK_SUBMODULE", "MAX_TEMPERATURE_SUBMODULE", "MAX_TEMP_THRESHOLD_SUBMODULE",
             "MAX_POWER_SUMMODULE", "MAX_POWER_CURRENT_SUMMODULE", "MAX_POWER_VOLTAGE_SUMMODULE",
             "MAX_PIN_VOLT_SUMMODULE", "MAX_PVT_VOLT_SUMMODULE", "MAX_DIE_CMCU_NUM", "MAX_DIE_VDSP_NUM",
             "MAX_DIE_VDMCU_NUM", "MAX_DIE_VEMCU_NUM"]

# name, rendered arguments, rendered result, docstring; in registration order.
FUNCTIONS = [
    ("init", "", P + "opStatus", "initialize the environment for kyml api."),
    ("shutDown", "", P + "opStatus", "release the environment for kyml api."),
    ("getVersion", "", None, "get the kyml api version information."),
    ("setLogLevel", f"arg0: {P}logLevel", P + "opStatus", "set logger system for message logging."),
    ("logMsg", f"arg0: {P}logLevel, arg1: str, arg2: {P}opStatus, arg3: str", P + "opStatus",
     "write a message to the console or file."),
    ("errorString", f"arg0: {P}opStatus", "str", "convert the description of an error code from error code."),
    ("getAiDeviceCount", "", "int", "get the count of ai device."),
    ("getCodecDeviceCount", "", "int", "get the count of codec device."),
    ("getAiDevInfo", "arg0: int", f"List[{P}aiDevInfo]", "get the information of ai device."),
    ("getCodecDevInfo", "arg0: int", f"List[{P}codecDevInfo]", "get the information of codec device."),
    ("getDieIndexByDevIndex", "arg0: int", P + "dieIndex", "get the physical index of die by logical index."),
    ("getCardCount", "", "int", "get the count of card."),
    ("getCardInfo", "arg0: list", "list", "get the information of card."),
    ("getCardHandleByUUID", "arg0: str", "int", "get the card handle by uuid."),
    ("getCardHandleByPciBusId", "arg0: str", "int", "get the card handle by pciBus id."),
    ("getCardHandleByIndex", "arg0: int", "int", "get the card handle by index of card."),
    ("getCardHandleByCardId", "arg0: int", "int", "get the card handle by card id."),
    ("getUUID", "arg0: int", "str", "get the uuid by the specified handle of card."),
    ("getPciInfo", "arg0: int", P + "pciInfo", "get the pci information by the specified handle of card."),
    ("getCapability", f"arg0: int, arg1: {P}capability", P + "opStatus",
     "get the capability by the specified handle of card."),
    ("getFanSpeedInfo", f"arg0: int, arg1: {P}fanSpeedInfo", P + "opStatus", "get the fan speed of card."),
    ("getManageNodeAttribute", "", P + "nodeBaseInfo", "get the attributes of managed node."),
    ("getDriverSWVersion", "", "str", "get the version information of driver."),
    ("getDieCount", "arg0: int", "int", "get the count of die of the specified handle of card."),
    ("getDieInfo", "arg0: int, arg1: list", "list", "get the information of die of the specified handle of card."),
    ("getDieHandleByIndex", "arg0: int, arg1: int", "int", "get the handle of die by card handle and index."),
    ("getDieHandleByDieIndex", f"arg0: {P}dieIndex", "int", "get the handle of die by its index."),
    ("getPllClocks", f"arg0: int, arg1: {P}pllClock", P + "opStatus",
     "get the pll clocks information by the specified handle of die."),
    ("getTemperature", f"arg0: int, arg1: {P}temperature", P + "opStatus",
     "get the temperature information of its die."),
    ("getPower", f"arg0: int, arg1: {P}power", P + "opStatus", "get the power information of its die."),
    ("getPinVolt", f"arg0: int, arg1: {P}pinVolt", P + "opStatus", "get the pin voltage information of its die."),
    ("getPowerCur", f"arg0: int, arg1: {P}powerCur", P + "opStatus",
     "get the power current information of its die."),
    ("getPowerVolt", f"arg0: int, arg1: {P}powerVolt", P + "opStatus",
     "get the power voltage information of its die."),
    ("getTempThreshold", f"arg0: int, arg1: {P}tempThreshold", P + "opStatus",
     "get the temperature threshold of its die."),
    ("getMemUtilizationRate", "arg0: int", P + "memUtilizationRate", "get the memory utilization rate of die."),
    ("getMcuUtilizationRate", f"arg0: int, arg1: {P}mcuUtilizationRate", P + "opStatus",
     "get the mcu utilization rate of die."),
    ("getUtilizationRate", "arg0: int", P + "utilizationRate", "get the utilization rate of die."),
    ("getRunningProcesses", "arg0: int, arg1: list", "list", "get the process information of die."),
    ("getNetWorkRunningInfo", "arg0: int, arg1: list", "list", "get the net process information of die."),
]


def test_submodule_holds_exactly_the_parts_names_in_order():
    names = [n for n in vars(kyml) if not n.startswith("__")]
    assert names == ["opStatus", "logLevel", *RECORD_FIELDS, *CONSTANTS, *(f[0] for f in FUNCTIONS)]


@pytest.mark.parametrize("name, arguments, result, doc", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_rendered_signature_and_docstring(name, arguments, result, doc):
    text = getattr(kyml, name).__doc__
    assert text.startswith(f"{name}({arguments}) -> ")
    if result is not None:
        assert text == f"{name}({arguments}) -> {result}\n\n{doc}\n"
    assert text.endswith(f"\n\n{doc}\n") and text.count("\n\n") == 1  # one overload


@pytest.mark.parametrize("name", RECORD_FIELDS)
def test_record_fields_and_constructor(name):
    cls = getattr(kyml, name)
    assert [f for f in vars(cls) if not f.startswith("_")] == RECORD_FIELDS[name]
    assert cls.__init__.__doc__.startswith(f"__init__(self: {P}{name}) -> None")
    assert all(isinstance(vars(cls)[f], property) and vars(cls)[f].fset is None for f in RECORD_FIELDS[name])


def die_index():
    return kyml.dieIndex()


# binding, arguments, library function, message.
VALUE_RETURNING = [
    ("getVersion", (), "kymlGetVersion", "get version error, ret: %d."),
    ("getAiDeviceCount", (), "kymlGetAiDeviceCount", "get ai device count error, ret: %d."),
    ("getCodecDeviceCount", (), "kymlGetCodecDeviceCount", "get codec device count error, ret: %d."),
    ("getAiDevInfo", (1,), "kymlGetAiDevInfo", "get ai device info error, ret: %d."),
    ("getCodecDevInfo", (1,), "kymlGetCodecDevInfo", "get codec device info error, ret: %d."),
    ("getDieIndexByDevIndex", (0,), "kymlGetDieIndexByDevIndex", "get dieIndex by index error, ret: %d."),
    ("getCardCount", (), "kymlGetCardCount", "get card count error, ret: %d."),
    ("getCardInfo", ([],), "kymlGetCardInfo", "get card info error, ret: %d."),
    ("getCardHandleByUUID", ("u",), "kymlGetHandleByUUID", "get card handle by uuid error, ret: %d."),
    ("getCardHandleByPciBusId", ("b",), "kymlGetHandleByPciBusId", "get card handle by pci bus id error, ret: %d."),
    ("getCardHandleByIndex", (0,), "kymlGetCardHandleByIndex", "get card handle by index error, ret: %d."),
    ("getCardHandleByCardId", (0,), "kymlGetCardHandleByCardId", "get card handle by card id error, ret: %d."),
    ("getUUID", (1,), "kymlGetUUID", "get uuid error, ret: %d."),
    ("getPciInfo", (1,), "kymlGetPciInfo", "get pci info error, ret: %d."),
    ("getManageNodeAttribute", (), "kymlGetManageNodeAttribute", "get manage node attribute error, ret: %d."),
    ("getDriverSWVersion", (), "kymlGetDriverSWVersion", "get driver SW version error, ret: %d."),
    ("getDieCount", (1,), "kymlGetDieCount", "get die count error, ret: %d."),
    ("getDieInfo", (1, []), "kymlGetDieInfo", "get die info error, ret: %d."),
    ("getDieHandleByIndex", (1, 0), "kymlGetDieHandleByIndex", "get die handle by index error, ret: %d."),
    ("getDieHandleByDieIndex", (die_index,), "kymlGetDieHandleByDieIndex",
     "get die handle by dieIndex error, ret: %d."),
    ("getPllClocks", (1, kyml.pllClock), "kymlGetPllClocks", "get pll clocks error, ret: %d."),
    ("getTemperature", (1, kyml.temperature), "kymlGetTemperature", "get temperature error, ret: %d."),
    ("getPower", (1, kyml.power), "kymlGetPower", "get power error, ret: %d."),
    ("getPinVolt", (1, kyml.pinVolt), "kymlGetPinVolt", "get pin voltage error, ret: %d."),
    ("getPowerCur", (1, kyml.powerCur), "kymlGetPowerCur", "get power current error, ret: %d."),
    ("getPowerVolt", (1, kyml.powerVolt), "kymlGetPowerVolt", "get power voltage error, ret: %d."),
    ("getTempThreshold", (1, kyml.tempThreshold), "kymlGetTempThreshold",
     "get temperature threshold error, ret: %d."),
    ("getMemUtilizationRate", (1,), "kymlGetMemUtilizationRate", "get memory utilization rate error, ret: %d."),
    ("getMcuUtilizationRate", (1, kyml.mcuUtilizationRate), "kymlGetMcuUtilizationRate",
     "get mcu utilization rate error, ret: %d."),
    ("getUtilizationRate", (1,), "kymlGetUtilizationRate", "get utilization rate error, ret: %d."),
    ("getRunningProcesses", (1, []), "kymlGetRunningProcesses", "get running processes error, ret: %d."),
    ("getNetWorkRunningInfo", (1, []), "kymlGetNetWorkRunningInfo", "get network running info error, ret: %d."),
]


@pytest.mark.parametrize("binding, arguments, function, message", VALUE_RETURNING,
                         ids=[v[0] for v in VALUE_RETURNING])
def test_failure_messages_carry_the_code_as_signed_decimal(binding, arguments, function, message, journal):
    arguments = [a() if callable(a) else a for a in arguments]
    for code, text in [(70006, "70006"), (0xFFFFFFFB, "-5")]:
        testctl.arm_failure(function, code)
        with pytest.raises(RuntimeError) as error:
            getattr(kyml, binding)(*arguments)
        assert str(error.value) == message.replace("%d", text)
    assert [name for name, _ in journal()] == [function, function]


def test_status_results_are_members_built_from_the_library_code():
    for binding, function, arguments in [("init", "kymlInit", ()), ("shutDown", "kymlShutDown", ()),
                                         ("setLogLevel", "kymlSetLogLevel", (kyml.logLevel.KYML_LOG_INFO,)),
                                         ("getCapability", "kymlGetCapability", (1, kyml.capability())),
                                         ("getFanSpeedInfo", "kymlGetFanSpeedInfo", (1, kyml.fanSpeedInfo()))]:
        testctl.arm_failure(function, 70014)
        status = getattr(kyml, binding)(*arguments)
        assert type(status) is kyml.opStatus and status.name == "KYML_ERROR_PROFILER_ALREADY_STOP", binding
