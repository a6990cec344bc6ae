"""The main job end to end on small inputs: every picture once with the class
the same pipeline written in OpenCV gives, a contact sheet of the stated
size, clear refusals of bad input, and a corrupt picture skipped."""
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import bench_pipeline  # noqa: E402
import pipeline  # noqa: E402

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
