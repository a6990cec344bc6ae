"""Cost of the management library's bindings: a sensor fill and the full
card inventory against the simplest value-returning kyml call. A sensor call
computes the die's whole model (utilisation, rails, temperatures) from the
runtime's state; the inventory zero-fills and converts a 64-card buffer."""
from harness import interleaved

NUMBER = 20_000


def run(report):
    import _quillon_pybind11 as quillon

    kyml = quillon.kyml
    kyml.init()
    card = kyml.getCardHandleByIndex(0)
    die = kyml.getDieHandleByIndex(card, 0)
    temperature = kyml.temperature()

    count, sensor, inventory = interleaved(
        [kyml.getCardCount, lambda: kyml.getTemperature(die, temperature), lambda: kyml.getCardInfo([])], NUMBER)
    report.ratio("kyml getTemperature / getCardCount", sensor / count, 15.0, False,
                 runs={"getTemperature": sensor, "getCardCount": count})
    report.ratio("kyml getCardInfo / getCardCount", inventory / count, 100.0, False,
                 runs={"getCardInfo": inventory, "getCardCount": count})
    kyml.shutDown()
