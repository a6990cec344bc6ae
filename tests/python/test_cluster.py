"""The main job on Dask worker processes on the loopback interface: every
line as in one process (only `device` may differ), also with a worker
SIGKILLed mid-run; a corrupt photo, an input a worker cannot read and one
the client cannot read listed in the summary while the rest completes; no
process left behind."""
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import MODULE_DIR, ROOT
from test_pipeline import clips, corrupt_photo_folder, encode  # noqa: F401 (clips is a fixture)

pytest.importorskip("distributed")
pytestmark = pytest.mark.no_sanitizer
TIMEOUT = 300


@pytest.fixture(scope="module")
def inputs(clips, tmp_path_factory):  # noqa: F811
    folder = tmp_path_factory.mktemp("cluster")
    long = encode(folder / "long.mp4", 240, "-c:v", "libx264", "-g", "10")  # 24 random-access points
    more = [encode(folder / f"more{i}.mp4", 90, "-c:v", "libx264", "-g", "30") for i in range(4)]
    return [clips["h264.mp4"], long, clips["mpeg4.avi"], clips["photos"], *more, clips["open.mkv"]]


@pytest.fixture(scope="module")
def reference(inputs, tmp_path_factory):
    from quillon.pipeline import cli

    out = tmp_path_factory.mktemp("single")
    assert cli.main([*map(str, inputs), "--out", str(out), "--cache", str(out / "cache"), "--quiet"]) == 0
    return lines(out)


def lines(out):
    return [json.loads(line) for line in (out / "results.jsonl").read_text().splitlines()]


def without_device(records):
    assert {record["device"] for record in records} <= {0, 1}
    return [{key: value for key, value in record.items() if key != "device"} for record in records]


def cluster_run(tmp_path, *arguments, pass_fds=(), while_running=None):
    """The program with two local workers, in a session of its own so
    that every process it starts is ended whatever happens."""
    process = subprocess.Popen(
        [sys.executable, "-m", "quillon.pipeline", *map(str, arguments), "--local-workers", "2", "--quiet",
         "--out", str(tmp_path / "out"), "--cache", str(tmp_path / "cache")],
        env=dict(os.environ, PYTHONPATH=f"{MODULE_DIR}:{ROOT / 'python'}"), pass_fds=pass_fds,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        if while_running is not None:
            while_running(process)
        out, err = process.communicate(timeout=TIMEOUT)
        # Zombies aside (PID 1 may not reap them here), no process outlives the run: the workers may
        # take a moment to end after the program, more on a loaded machine.
        deadline = time.monotonic() + 60
        while (left := [p for p in processes() if p[2] == process.pid and p[3] != "Z"]) and \
                time.monotonic() < deadline:
            time.sleep(0.1)
        assert left == []
        return process.returncode, out, err
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.communicate()


def processes():
    """(pid, parent, process group, state, command line) of every process."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as stat, open(f"/proc/{pid}/cmdline") as cmdline:
                state, parent, group = stat.read().rsplit(")", 1)[1].split()[:3]
                yield int(pid), int(parent), int(group), state, cmdline.read()
        except OSError:
            continue


def workers_of(process):
    """The worker processes the program started (multiprocessing's spawned children)."""
    return [pid for pid, parent, _, _, command in processes() if parent == process.pid and "spawn_main" in command]


def kill_a_worker_midway(tmp_path):
    def kill(process):
        partial, deadline = tmp_path / "out" / "results.partial.jsonl", time.monotonic() + TIMEOUT
        while not (partial.exists() and partial.stat().st_size > 0 and len(workers_of(process)) == 2):
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        os.kill(workers_of(process)[0], signal.SIGKILL)
        assert process.poll() is None and not (tmp_path / "out" / "results.jsonl").exists()  # the run goes on
    return kill


@pytest.mark.parametrize("disturbed", [False, True], ids=["undisturbed", "a-worker-killed-midway"])
def test_every_line_as_in_one_process(tmp_path, inputs, reference, disturbed):
    code, out, err = cluster_run(tmp_path, *inputs, while_running=kill_a_worker_midway(tmp_path) if disturbed else None)
    assert code == 0, err
    assert without_device(lines(tmp_path / "out")) == without_device(reference)  # and so no line twice
    assert "skipped (corrupt or failed): 0" in out and "on 2 workers (2 dies)" in out


def test_a_corrupt_photo_and_an_input_the_workers_cannot_read_are_listed(tmp_path, clips):  # noqa: F811
    folder = corrupt_photo_folder(tmp_path, clips)
    # A path only this process can read: its own descriptor, which the workers do not have.
    with open(clips["h264.mp4"], "rb") as clip:
        os.dup2(clip.fileno(), 900)
        try:
            code, out, err = cluster_run(tmp_path, folder, "/proc/self/fd/900", tmp_path / "missing.mp4",
                                         clips["h264.mp4"], pass_fds=(900,))
        finally:
            os.close(900)
    # An input the client cannot read is listed too, and said by the exit status; the rest completes.
    assert code == 3 and f"inputs not read: 1\n    {tmp_path / 'missing.mp4'}: no such file or folder\n" in out, err
    assert "Traceback" not in err and f"workers' messages: {tmp_path / 'out' / 'workers.log'}" in out
    assert [os.path.basename(line["file"]) for line in lines(tmp_path / "out")] == ["b.jpg"] + ["h264.mp4"] * 30
    failures = out.split("skipped (corrupt or failed): ")[1].splitlines()[1:-3]
    corrupt = [line for line in failures if line.startswith(f"    {folder / 'a.jpg'}: ")]
    unreadable = [line for line in failures if re.match(r"    worker quillon-\d \(tcp://127.0.0.1:\d+\) cannot read "
                                                        r"/proc/self/fd/900 \(No such file or directory\)", line)]
    assert len(corrupt) == 1 and 1 <= len(unreadable) == len(failures) - 1, failures


def test_one_process_never_imports_dask_and_too_many_workers_are_refused(tmp_path, clips):  # noqa: F811
    program = ("import sys; from quillon.pipeline import main; status = main(sys.argv[1:]); "
               "print(status, 'distributed' in sys.modules)")
    common = [clips["h264.mp4"], "--quiet", "--out", tmp_path, "--cache", tmp_path]
    outcomes = [subprocess.run([sys.executable, "-c", program, *map(str, arguments)], capture_output=True, text=True,
                               env=dict(os.environ, PYTHONPATH=f"{MODULE_DIR}:{ROOT / 'python'}"), timeout=TIMEOUT)
                for arguments in (common, common + ["--local-workers", "3"])]
    assert outcomes[0].stdout.splitlines()[-1] == "0 False"
    assert outcomes[1].stdout.splitlines()[-1] == "2 True" and outcomes[1].stderr == (
        "quillon-pipeline: error: --local-workers 3: this machine has 2 dies, and a worker needs one at least\n")
