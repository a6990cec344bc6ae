# A process using the card, driven line by line for the shared-state tests
# (test_shared_state.py): each command on standard input gets one JSON line
# on standard output. The platform is QUILLON_PLATFORM's.
import json
import re
import sys
import threading

import _quillon_pybind11 as q
from quillon import _native

kycm, kyme, kyml = q.kycm, q.kyme, q.kyml
blocks = []


def code_of(call):
    try:
        call()
        return 0
    except RuntimeError as error:
        return int(re.search(r"ret: (\d+)", str(error)).group(1))


def die(index):
    return kyml.getDieHandleByIndex(kyml.getCardHandleByIndex(0), int(index))


def decode_for_ever(path):
    import quillon
    while True:
        with quillon.open(path) as video:
            for _ in video.frames(format="nv12"):
                pass


def decoder(number, codec):
    p = kyme.decChannelParamters()
    p.codecType = getattr(kyme.codecType, "KYME_CODEC_DEC_" + codec.upper())
    return kyme.createDecoderChannel(p, int(number))


COMMANDS = {
    "init": lambda: [kycm.initialize(), kyme.systemInitialize(), kyml.init()][0],
    "malloc": lambda mib: code_of(lambda: blocks.append(kycm.malloc(int(mib) << 20))),
    "free": lambda: [kycm.free(blocks.pop()) for _ in list(blocks)] and 0,
    "decoder": decoder,
    "destroy": lambda number: kyme.destroyDecoderChannel(int(number)),
    "available": lambda: kyme.getDecoderAvailableChannels(),
    "used": lambda index: kyml.getMemUtilizationRate(die(index)).used >> 20,
    "processes": lambda index: sorted([p.pid, p.memused] for p in kyml.getRunningProcesses(die(index), [])),
    "decoding": lambda index: kyml.getUtilizationRate(die(index)).vdmcu,
    "decode": lambda path: threading.Thread(target=decode_for_ever, args=(path,), daemon=True).start(),
    "state": lambda: _native.card_state(),
}

for line in sys.stdin:
    command, *arguments = line.split()
    print(json.dumps(COMMANDS[command](*arguments)), flush=True)
