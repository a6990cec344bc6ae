"""The card's state shared by every process against each process's own:
1 MiB malloc/free and decoder channel create/destroy in one process (target
at most 1.2x), and eight processes allocating and freeing at once for a few
seconds, whose accounting must come out exact."""
import json
import os
import subprocess
import sys
import time
import uuid

from harness import BUILD, ROOT, Timing, seconds_per_call

SECONDS = float(os.environ.get("QUILLON_BENCH_SECONDS", "5"))
PROCESSES = 8
# A child process: allocates and frees blocks of 1 to 8 MiB for SECONDS, says
# how much it holds, frees it all when told and says so.
CHILD = """
import random, sys, time
import _quillon_pybind11 as q
kycm = q.kycm
assert kycm.initialize() == 0
held, blocks, failed = 0, [], 0
end = time.monotonic() + float(sys.argv[1])
rng = random.Random()
while time.monotonic() < end:
    if blocks and rng.random() < 0.5:
        block, size = blocks.pop(rng.randrange(len(blocks)))
        kycm.free(block)
        held -= size
    else:
        size = rng.randint(1, 8) << 20
        try:
            blocks.append((kycm.malloc(size), size))
            held += size
        except RuntimeError:
            failed += 1
print(held, failed, flush=True)
sys.stdin.readline()
for block, _ in blocks:
    kycm.free(block)
print("freed", flush=True)
sys.stdin.readline()
"""


def platform(shared):
    return json.dumps({"cards": [{"uuid": uuid.uuid4().hex, "dies": [{"memory_mib": 512}]}], "shared_state": shared})


def per_call(kycm, kyme, config, call, number):
    """Seconds per call of `call` with the runtime started on `config`."""
    assert kycm.initialize(config) == 0 and kyme.systemInitialize() == 0
    try:
        return seconds_per_call(call, number)
    finally:
        kyme.systemUninitialize()
        kycm.uninitialize()


def run(report):
    os.environ.pop("QUILLON_SHARED_STATE", None)
    import _quillon_pybind11 as quillon

    kycm, kyme, kyml = quillon.kycm, quillon.kyme, quillon.kyml
    configs = {True: platform(True), False: platform(False)}
    parameters = kyme.decChannelParamters()
    parameters.codecType = kyme.codecType.KYME_CODEC_DEC_H264

    def malloc_free():
        kycm.free(kycm.malloc(1 << 20))

    def create_destroy():
        assert kyme.createDecoderChannel(parameters, 0) == 0 and kyme.destroyDecoderChannel(0) == 0

    for name, call, number in (("malloc/free 1 MiB", malloc_free, 2000),
                               ("decoder channel create/destroy", create_destroy, 100)):
        runs = {True: [], False: []}
        for _ in range(7):  # alternated, so that the machine's drift hits both alike
            for shared in (False, True):
                runs[shared].append(per_call(kycm, kyme, configs[shared], call, number))
        shared_state, own_state = Timing(runs[True]), Timing(runs[False])
        report.ratio(f"{name}: shared / per-process state", shared_state / own_state, 1.2, False,
                     runs={"shared": shared_state, "per-process": own_state})

    # Eight processes at once on one die; this process reads the card.
    path = BUILD / "bench_shared_state.json"
    path.write_text(configs[True])
    env = dict(os.environ, QUILLON_PLATFORM=str(path),
               PYTHONPATH=os.pathsep.join([str(BUILD / "python"), str(ROOT / "python")]))
    children = [subprocess.Popen([sys.executable, "-c", CHILD, str(SECONDS)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, env=env) for _ in range(PROCESSES)]
    assert kycm.initialize(str(path)) == 0 and kyml.init() == 0
    die = kyml.getDieHandleByIndex(kyml.getCardHandleByIndex(0), 0)
    reports = [child.stdout.readline().split() for child in children]
    held = sum(int(r[0]) for r in reports)
    during = kyml.getMemUtilizationRate(die).used
    for child in children:
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.stdout.readline().strip() == "freed"
    after = kyml.getMemUtilizationRate(die).used
    for child in children:
        child.stdin.close()
        child.wait()
    kyml.shutDown()
    kycm.uninitialize()
    path.unlink()
    refused = sum(int(r[1]) for r in reports)
    exact = during == held and after == 0
    report.ratio(f"{PROCESSES} processes for {SECONDS:g} s: bytes accounted / bytes held",
                 during / held if held else float(exact), 1.0, True,
                 f"({held >> 20} MiB held, {during >> 20} MiB counted, {after} bytes after freeing, "
                 f"{refused} allocations refused for want of memory){'' if exact else ' NOT EXACT'}")
