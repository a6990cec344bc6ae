"""python3 -m quillon: the version, the platform and the devices."""
import argparse
import os
import platform
import sys
from typing import List, Optional

import _quillon_pybind11

from quillon import __time_compiled__, __version__, kycm, kyml


def report() -> List[str]:
    """What the module sees, as lines of text; needs both runtimes started."""
    lines = [
        f"quillon {__version__} (built {__time_compiled__}), Python {platform.python_version()} "
        f"on {platform.system()} {platform.machine()}",
        f"module: {_quillon_pybind11.__file__}",
        f"common runtime {kycm.getVersion()}, management library {kyml.getVersion()}, "
        f"driver {kyml.getDriverSWVersion()}",
    ]
    config = os.environ.get("QUILLON_PLATFORM")
    lines.append(f"platform: {config} (QUILLON_PLATFORM)" if config
                 else "platform: the built-in default (QUILLON_PLATFORM is not set)")
    for index, card in enumerate(kyml.getCardInfo([])):
        lines.append(f"  card {index}: {card.cardTypeName}, id {card.cardId}, bus {card.pciInfo.busId}, "
                     f"{card.dieNum} die(s)")
    count = kyml.getAiDeviceCount()
    lines.append(f"devices: {count}")
    for device in range(count):
        card_id, die, _ = kycm.getDeviceIdInfo(device)
        handle = kyml.getDieHandleByDieIndex(kyml.getDieIndexByDevIndex(device))
        memory = kyml.getMemUtilizationRate(handle).total >> 20
        lines.append(f"  device {device}: card id {card_id}, die {die}, {memory} MiB")
    return lines


def main(argv: Optional[List[str]] = None) -> int:
    argparse.ArgumentParser(prog="python3 -m quillon",
                            description="Print the version, the platform and the devices.").parse_args(argv)
    status = kycm.initialize()
    if status != kycm.kycmER_SUCCESS:
        print(f"cannot start the common runtime: {kycm.getErrDesc(status)} (code {status})", file=sys.stderr)
        return 1
    try:
        started = kyml.init()
        if started not in (kyml.opStatus.KYML_SUCCESS, kyml.opStatus.KYML_ERROR_INITIALIZED):
            print(f"cannot start the management library: {kyml.errorString(started)}", file=sys.stderr)
            return 1
        try:
            print("\n".join(report()))
        finally:
            if started == kyml.opStatus.KYML_SUCCESS:
                kyml.shutDown()
    finally:
        kycm.uninitialize()
    return 0


if __name__ == "__main__":
    sys.exit(main())
