"""The main job end to end on small inputs: every picture once with the class
the same pipeline written in OpenCV gives, a contact sheet of the stated
size, clear refusals of bad input, and a corrupt picture skipped; and as a
program: exit status 0 every time, signals at any moment and a full disk
answered with one line, previous outputs kept."""
import contextlib
import json
import os
import pathlib
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import bench_pipeline  # noqa: E402
import pipeline  # noqa: E402
from conftest import MODULE_DIR  # noqa: E402

pytestmark = pytest.mark.no_sanitizer
SIZE = (320, 240)


def pictures(count):
    # Steps through the demo fast enough that the dominant colour changes often.
    return [pipeline.demo_picture(i * 9, *SIZE) for i in range(count)]


def encode(path, count, *options):
    process = subprocess.Popen(
        ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "%dx%d" % SIZE, "-r", "30",
         "-i", "-", "-c:v", "libx264", *options, "-f", "h264", str(path)], stdin=subprocess.PIPE)
    for picture in pictures(count):
        process.stdin.write(pipeline.rgb_to_i420(picture).tobytes())
    process.stdin.close()
    assert process.wait() == 0
    return path


def run(tmp_path, capsys, *arguments):
    code = pipeline.main([*map(str, arguments), "--out", str(tmp_path / "out"), "--cache", str(tmp_path / "cache"),
                          "--quiet"])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def results(tmp_path):
    return [json.loads(line) for line in (tmp_path / "out" / "results.jsonl").read_text().splitlines()]


def reference_classes(tmp_path, source):
    model = next((tmp_path / "cache").glob("*.onnx"))
    return [pipeline.CLASS_NAMES[top] for top in bench_pipeline.reference_pipeline([source], model)[1]]


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    # B pictures and a group every 6 pictures: groups go to both dies and
    # come back out of decoding order.
    video = encode(folder / "clip.h264", 30, "-g", "6", "-bf", "2")
    jpegs = folder / "jpegs"
    jpegs.mkdir()
    from PIL import Image
    for i, picture in enumerate(pictures(7)):
        Image.fromarray(picture).save(jpegs / f"{i:03d}.jpg", quality=92)
    return video, jpegs


@pytest.mark.parametrize("kind", ["video", "jpeg folder"])
def test_every_picture_once_with_the_reference_class(tmp_path, capsys, clips, kind):
    source = clips[0] if kind == "video" else clips[1]
    code, out, err = run(tmp_path, capsys, source)
    assert code == 0, err
    lines = results(tmp_path)
    assert [line["picture"] for line in lines] == list(range(len(lines)))
    assert [line["class"] for line in lines] == reference_classes(tmp_path, source)
    assert {line["device"] for line in lines} == {0, 1}  # every die worked
    if kind == "jpeg folder":
        assert [pathlib.Path(line["file"]).name for line in lines] == sorted(p.name for p in source.iterdir())
    assert f"{len(lines)} pictures" in out and "skipped (corrupt or failed): 0" in out

    from PIL import Image
    with Image.open(tmp_path / "out" / "contact_sheet.png") as sheet:
        assert sheet.format == "PNG"
        assert sheet.size == (pipeline.SHEET_COLUMNS * pipeline.THUMB[0],
                              pipeline.SHEET_ROWS * (pipeline.THUMB[1] + 18))
        sheet.load()


def test_bad_input_is_refused_with_a_message(tmp_path, capsys, clips):
    text = tmp_path / "notes.txt"
    text.write_text("not a picture\n")
    empty_folder = tmp_path / "empty"
    empty_folder.mkdir()
    bad_model = tmp_path / "model.onnx"
    bad_model.write_bytes(b"\x08\x07garbage" * 10)
    cases = [
        ([tmp_path / "missing.h264"], "missing.h264: no such file or folder"),
        ([text], "notes.txt: neither an H.264/HEVC elementary stream nor a JPEG file"),
        ([empty_folder], "empty: the folder holds no JPEG files"),
        ([clips[0], "--model", bad_model], "model.onnx: not a model the runtime can load"),
        ([clips[0], "--model", tmp_path / "absent.onnx"], "absent.onnx: no such file or folder"),
    ]
    for arguments, message in cases:
        code, out, err = run(tmp_path, capsys, *arguments)
        assert code != 0 and message in err and "Traceback" not in err, (arguments, err)
    blocked = tmp_path / "blocked"
    blocked.write_text("a file where the output folder should be")
    code = pipeline.main([str(clips[0]), "--out", str(blocked / "out"), "--quiet"])
    assert code != 0 and "the output folder cannot be written" in capsys.readouterr().err


def test_a_corrupt_picture_is_skipped_and_the_others_kept(tmp_path, capsys):
    clean = encode(tmp_path / "clean.h264", 16, "-g", "1")  # every picture stands alone
    data = bytearray(clean.read_bytes())
    # Picture 8's slice: keep its start code and header, scramble the rest.
    starts = [i for i in range(len(data) - 3) if data[i:i + 3] == b"\x00\x00\x01"]
    slices = [i for i in starts if data[i + 3] & 0x1F == 5]
    begin, end = slices[8] + 5, next(s for s in starts if s > slices[8]) - 1
    noise = np.random.default_rng(1).integers(1, 256, end - begin, dtype=np.uint8)
    data[begin:end] = noise.tobytes().replace(b"\x00", b"\x01")
    corrupt = tmp_path / "corrupt.h264"
    corrupt.write_bytes(bytes(data))

    code, out, err = run(tmp_path, capsys, corrupt)
    assert code == 0, err
    expected = reference_classes(tmp_path, clean)
    got = [line["class"] for line in results(tmp_path)]
    if len(got) == len(expected) - 1:  # dropped by the decoder: counted as skipped
        assert got == expected[:8] + expected[9:]
        assert "skipped (corrupt or failed): 1" in out
    else:  # decoded with concealment: still one picture among the others
        assert len(got) == len(expected)
        assert got[:8] + got[9:] == expected[:8] + expected[9:]


def program(*arguments, file_size_limit=None):
    """The main job in a process of its own, as a user or CI starts it."""
    def limit():
        if file_size_limit is not None:  # writes past the limit fail as on a full disk
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
    return subprocess.Popen([sys.executable, str(ROOT / "examples" / "pipeline.py"), *map(str, arguments)],
                            env=dict(os.environ, PYTHONPATH=str(MODULE_DIR)), preexec_fn=limit,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_the_main_job_exits_0_every_time(tmp_path):
    def demo(number):
        return program("--demo-pictures", 10, "--cache", tmp_path / "cache", "--out", tmp_path / f"out{number}",
                       "--quiet")
    assert demo(0).wait(timeout=300) == 0  # makes the clip and the model
    runs = []
    for _ in range(10):  # two at a time, one per core
        processes = [demo(1), demo(2)]
        runs += [(process.returncode, err[-200:]) for process in processes
                 for _, err in [process.communicate(timeout=300)]]
    assert [code for code, _ in runs] == [0] * 20, runs


def test_a_full_disk_gets_one_line_and_keeps_the_previous_outputs(tmp_path, capsys, clips):
    code, _, err = run(tmp_path, capsys, clips[0])
    assert code == 0, err
    out = tmp_path / "out"
    names = ["results.jsonl", "contact_sheet.png"]
    previous = [(out / name).read_bytes() for name in names]
    cases = [  # the results fail midway; the contact sheet fails; a fresh cache fails
        (clips[0], tmp_path / "cache", 1000),
        (clips[0], tmp_path / "cache", len(previous[0]) + 1000),
        ("--demo-pictures", 2, tmp_path / "fresh cache", 1000),
    ]
    for *arguments, cache, limit in cases:
        process = program(*arguments, "--out", out, "--cache", cache, "--quiet", file_size_limit=limit)
        _, err = process.communicate(timeout=120)
        assert process.returncode == 2 and len(err.strip().splitlines()) == 1, (limit, err)
        assert "cannot be written" in err
        assert [(out / name).read_bytes() for name in names] == previous
        partial = out / "results.partial.jsonl"
        if partial.exists():
            text = partial.read_text()
            assert text == "" or text.endswith("\n")
            [json.loads(line) for line in text.splitlines()]
        assert not (out / "contact_sheet.partial.png").exists()


def handlers_in(process):
    """The program's first lines ran: SIGTERM, which the interpreter leaves alone, is caught."""
    with open(f"/proc/{process.pid}/status") as status:
        caught = int(next(line for line in status if line.startswith("SigCgt")).split()[1], 16)
    return bool(caught & (1 << (signal.SIGTERM - 1)))


def mapped(library):
    """An import of the program is under way: the extension it loads is mapped."""
    def check(process):
        with open(f"/proc/{process.pid}/maps") as maps:
            return library in maps.read()
    return check


def running(process):
    """A progress line came: pictures are going through."""
    return b" pictures " in os.read(process.stderr.fileno(), 4096)


@pytest.mark.parametrize("signum, moment", [
    (signal.SIGINT, handlers_in), (signal.SIGINT, mapped("numpy")), (signal.SIGINT, mapped("_quillon_pybind11")),
    (signal.SIGINT, running), (signal.SIGTERM, handlers_in), (signal.SIGTERM, running)],
    ids=["SIGINT-at-start", "SIGINT-importing-numpy", "SIGINT-importing-the-module", "SIGINT-running",
         "SIGTERM-at-start", "SIGTERM-running"])
def test_a_signal_at_any_moment_stops_with_one_line(tmp_path, clips, signum, moment):
    out = tmp_path / "out"
    out.mkdir()
    (out / "results.jsonl").write_text('{"previous": "run"}\n')
    # Ten times the clip: long enough to be caught running.
    process = program(*[clips[0]] * 10, "--out", out, "--cache", tmp_path / "cache")
    for _ in range(10000):  # bounded: without the moment, the signal goes anyway
        with contextlib.suppress(OSError, StopIteration):
            if moment(process):
                break
        time.sleep(0.001)
    process.send_signal(signum)
    _, err = process.communicate(timeout=120)
    assert process.returncode == 130 and "Traceback" not in err, err
    assert err.strip().splitlines()[-1] == "quillon-pipeline: interrupted"
    assert (out / "results.jsonl").read_text() == '{"previous": "run"}\n'


def test_a_corrupt_jpeg_costs_only_itself(tmp_path, capsys):
    from PIL import Image
    folder = tmp_path / "jpegs"
    folder.mkdir()
    for name, picture in zip("bcd", pictures(3)):
        Image.fromarray(picture).save(folder / f"{name}.jpg")
    data = (folder / "b.jpg").read_bytes()
    tables = data.index(b"\xff\xc4", data.index(b"\xff\xc0"))
    (folder / "a.jpg").write_bytes(data[:tables + 10] + b"\xff\xd9")  # ends inside a Huffman table

    code, out, err = run(tmp_path, capsys, folder)
    assert code == 0, err
    assert [pathlib.Path(line["file"]).name for line in results(tmp_path)] == ["b.jpg", "c.jpg", "d.jpg"]
    assert "skipped (corrupt or failed): 1" in out
