"""One card, many processes: device memory, channel numbers, utilisation and
the process list are the card's, shared by every process on the platform."""
import fcntl
import json
import os
import pathlib
import signal
import stat
import subprocess
import sys
import time
import uuid

import pytest

from conftest import BUILD, ROOT
from quillon import _native

WORKER = pathlib.Path(__file__).with_name("card_worker.py")
OUT_OF_MEMORY, CHANNEL_BUSY, REFUSED, INTERNAL_ERROR = 100008, 402005, 100060, 402016
# Where die 0's memory counters lie in the segment: after the header (144
# bytes) and 128 process slots of 80 bytes, past the die's capacity and
# channel counts, its total and then one counter per process.
MEMORY_IN_USE = 144 + 128 * 80 + 16


class Worker:
    def __init__(self, platform, **env):
        environment = {key: value for key, value in os.environ.items() if key != "QUILLON_SHARED_STATE"}
        environment.update(QUILLON_PLATFORM=str(platform), PYTHONPATH=f"{BUILD / 'python'}:{ROOT / 'python'}", **env)
        self.process = subprocess.Popen([sys.executable, str(WORKER)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=environment)
        self.pid = self.process.pid

    def __call__(self, *command):
        self.process.stdin.write(" ".join(map(str, command)) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        assert line, self.process.stderr.read()
        return json.loads(line)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            assert self.process.wait(timeout=30) == 0, self.process.stderr.read()


@pytest.fixture
def card(tmp_path):
    """A platform of its own (one 64 MiB die), its segment name, and a maker of processes using it."""
    path = tmp_path / "platform.json"
    path.write_text(json.dumps({"cards": [{"uuid": uuid.uuid4().hex, "dies": [{"memory_mib": 64}]}]}))
    workers = []

    def start(expect=0, **env):
        workers.append(Worker(path, **env))
        assert workers[-1]("init") == expect
        return workers[-1]
    start.platform, start.segment = path, "/dev/shm" + _native.shared_state_name(str(path))
    start.reset = lambda: _native.reset_shared_state(str(path))
    yield start
    for worker in workers:
        if worker.process.poll() is None:
            worker.process.kill()
            worker.process.wait()
    start.reset()


def test_memory_and_process_list_are_the_cards(card):
    a, b = card(), card()
    assert a("malloc", 40) == 0 and b("malloc", 40) == OUT_OF_MEMORY
    assert b("malloc", 20) == 0 and b("used", 0) == 60
    assert a("processes", 0) == sorted([[a.pid, 40], [b.pid, 20]])
    assert stat.S_IMODE(os.stat(card.segment).st_mode) == 0o600
    a.close()
    assert b("processes", 0) == [[b.pid, 20]]
    b("free")
    b.close()
    assert not os.path.exists(card.segment)  # the last process out removes it


def test_channel_numbers_are_exclusive_and_counted_for_the_card(card):
    a, b = card(), card()
    total = a("available")
    assert a("decoder", 0, "jpeg") == 0 and b("decoder", 0, "h264") == CHANNEL_BUSY
    assert b("decoder", 1, "h264") == 0 and a("available") == total - 2
    assert [a("state")["dies"][0][key] for key in ("decoders", "jpeg_decoders")] == [2, 1]
    assert a("destroy", 0) == 0 and b("decoder", 0, "h264") == 0


@pytest.mark.parametrize("reaped", [True, False], ids=["reaped", "zombie"])
def test_a_killed_process_gives_back_memory_and_channels(card, reaped):
    a, b = card(), card()
    assert a("malloc", 60) == 0 and a("decoder", 3, "h264") == 0
    a.process.send_signal(signal.SIGKILL)
    # Not reaped, it stays a zombie, with its pid and start time, until this test ends.
    os.waitid(os.P_PID, a.pid, os.WEXITED | (0 if reaped else os.WNOWAIT))
    assert b("malloc", 60) == 0 and b("decoder", 3, "h264") == 0 and b("processes", 0) == [[b.pid, 60]]


def test_a_held_file_lock_refuses_attaching_and_does_not_hold_up_an_exit(card):
    a = card()
    with open(card.segment, "rb") as segment:
        fcntl.flock(segment, fcntl.LOCK_EX)  # as a process stopped while attaching would hold it
        late = Worker(card.platform)
        try:
            late.process.stdin.write("init\n")
            late.process.stdin.flush()
            a.process.stdin.close()
            assert a.process.wait(timeout=60) == 0  # its slot given back without the lock
            assert json.loads(late.process.stdout.readline()) == REFUSED
        finally:
            late.process.kill()
            late.process.wait()
    assert "file lock is held too long" in late.process.stderr.read()


def test_utilisation_shows_another_process_decoding(card, tmp_path):
    clip = tmp_path / "clip.h264"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-frames:v", "50",
                    "-c:v", "libx264", "-f", "h264", str(clip)], check=True)
    a, b = card(), card()
    assert a("decoding", 0) == 0
    b("decode", clip)
    deadline = time.monotonic() + 30
    while a("decoding", 0) == 0:
        assert time.monotonic() < deadline, "the other process's decoding never showed"
        time.sleep(0.1)


def test_isolation_on_request(card, tmp_path):
    a = card()
    assert a("malloc", 60) == 0 and a("decoder", 0, "h264") == 0
    alone = card(QUILLON_SHARED_STATE="0")
    assert alone("malloc", 60) == 0 and alone("decoder", 0, "h264") == 0
    assert alone("processes", 0) == [[alone.pid, 60]]
    unshared = tmp_path / "unshared.json"
    unshared.write_text(json.dumps(dict(json.loads(card.platform.read_text()), shared_state=False)))
    other = Worker(unshared)
    assert other("init") == 0 and other("malloc", 60) == 0
    other.close()


def overwrite(path, offset, value, size=8):
    with open(path, "r+b") as segment:
        segment.seek(offset)
        segment.write(value.to_bytes(size, "little"))


DAMAGE = {
    "magic": lambda path: overwrite(path, 0, 0x51554c4c494f4e5a),
    "version": lambda path: overwrite(path, 8, 99, 4),
    "size": lambda path: os.truncate(path, 4096),
    "process counter": lambda path: overwrite(path, MEMORY_IN_USE + 8 * 6, 1 << 62),
    "total": lambda path: overwrite(path, MEMORY_IN_USE, 1 << 62),
    "owner": lambda path: os.chown(path, 4321, -1),
    "mode": lambda path: os.chmod(path, 0o644),
}


def test_the_status_tool_shows_other_processes_and_resets_only_an_unused_state(card):
    def status(*arguments):
        return subprocess.run([sys.executable, str(ROOT / "examples" / "card_status.py"), *arguments],
                              env=dict(os.environ, QUILLON_PLATFORM=str(card.platform), QUILLON_SHARED_STATE="1"),
                              capture_output=True, text=True, timeout=60)
    a = card()
    assert a("malloc", 5) == 0 and a("decoder", 0, "jpeg") == 0
    shown = status("--count", "1").stdout
    assert f"{a.pid:>8}  python3" in shown and "1 (1 jpeg)" in shown
    refused = status("--reset-shared")
    assert refused.returncode == 1 and f"in use by process(es) {a.pid}" in refused.stderr
    DAMAGE["version"](card.segment)  # a damaged state is removed whoever uses it
    assert status("--reset-shared").returncode == 0 and not os.path.exists(card.segment)


def test_a_segment_left_half_made_is_made_again(card):
    first = card()
    size = os.stat(card.segment).st_size
    first.close()
    with open(card.segment, "wb") as segment:  # the right size, but never given its magic number
        os.fchmod(segment.fileno(), 0o600)
        segment.truncate(size)
    card().close()


@pytest.mark.parametrize("damage", DAMAGE)
def test_a_damaged_or_foreign_segment_is_refused(card, damage):
    holder = card()
    DAMAGE[damage](card.segment)
    late = card(expect=REFUSED)
    assert late("malloc", 1) != 0 and late("decoder", 5, "h264") == INTERNAL_ERROR
    late.close()
    assert "refused" in late.process.stderr.read()
    if damage == "total":
        assert holder("malloc", 1) == REFUSED
    holder.close()


def test_a_group_named_by_the_platform_shares_the_segment(tmp_path):
    path = tmp_path / "grouped.json"
    for group, expected in (("daemon", 0), ("no-such-group-here", REFUSED)):
        path.write_text(json.dumps({"cards": [{"uuid": uuid.uuid4().hex}], "shared_group": group}))
        worker = Worker(path)
        assert worker("init") == expected
        if expected == 0:
            info = os.stat("/dev/shm" + _native.shared_state_name(str(path)))
            assert (stat.S_IMODE(info.st_mode), info.st_gid) == (0o660, 1)
        worker.close()
