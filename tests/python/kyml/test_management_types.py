"""kyml records: fresh records are empty and nested records keep their owner
alive."""
import _quillon_pybind11 as quillon

kyml = quillon.kyml


def test_new_records_are_empty():
    assert (kyml.pllClock().unit, kyml.pllClock().clockArray, kyml.nodeBaseInfo().name) == (0, [], "")
    card = kyml.cardInfo()
    assert (card.uuid, card.cardTypeName, card.dieNum, card.dieInfo) == ("", "", 0, [])
    assert (card.pciInfo.busId, card.pciInfo.pciSubId.subcardId) == ("", 0)
    mcu = kyml.mcuUtilizationRate()
    assert (mcu.ai, mcu.vdsp, mcu.vemcu, mcu.vdmcu) == (0, [], [], [])


def test_nested_records_keep_their_owner_alive():
    info = kyml.cardInfo()
    pci = info.pciInfo
    del info
    assert pci.busId == ""
