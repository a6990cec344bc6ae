"""The example programs on ordinary mistakes: a message naming what was wrong
and a nonzero status, never a traceback; and the layouts they must take."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from conftest import MODULE_DIR, ROOT, onnx_model

pytestmark = pytest.mark.no_sanitizer


def example(program, *arguments, module_dir=MODULE_DIR):
    """Runs an example program (a name in examples/ or a path) with the module of `module_dir`."""
    env = {name: value for name, value in os.environ.items() if name != "QUILLON_BUILD_DIR"}
    run = subprocess.run([sys.executable, str(ROOT / "examples" / program), *map(str, arguments)],
                         env=dict(env, PYTHONPATH=f"{module_dir}:{ROOT / 'python'}"), capture_output=True, text=True,
                         timeout=120)
    return run.returncode, run.stdout, run.stderr


def refused(result, text):
    """A nonzero status and a message (its last line holding `text`), no traceback."""
    code, _, err = result
    assert code != 0 and "Traceback" not in err and err.strip() and text in err.strip().splitlines()[-1], err


def test_decode_refuses_what_it_cannot_read_and_fails_when_no_picture_came(tmp_path):
    from PIL import Image
    refused(example("decode_module_calls.py", tmp_path, tmp_path / "out"), "cannot be read (Is a directory)")
    refused(example("decode_module_calls.py", tmp_path / "missing.jpg", tmp_path / "out"),
            "cannot be read (No such file")
    refused(example("decode.py", tmp_path / "missing.mp4", tmp_path / "out"), "missing.mp4")
    cmyk = tmp_path / "cmyk.jpg"
    Image.new("CMYK", (64, 48), (0, 200, 200, 20)).save(cmyk)
    code, _, err = example("decode_module_calls.py", cmyk, tmp_path / "out")
    saved = list((tmp_path / "out").glob("*.png"))
    # The decoder may or may not take CMYK; either way the status says which.
    assert "Traceback" not in err and (code == 0) == (len(saved) == 1), err
    if code:
        assert "no picture saved" in err and "code 4020" in err
    assert example("decode.py", cmyk, tmp_path / "layer", "--size", "32x24")[0] == 0  # the layer converts CMYK
    with Image.open(tmp_path / "layer" / "000000.png") as png:
        assert png.size == (32, 24)


def test_infer_refuses_a_model_it_cannot_load_and_reads_channels_last_inputs(tmp_path):
    from onnx import TensorProto, helper
    from PIL import Image
    garbage = tmp_path / "garbage.onnx"
    garbage.write_bytes(b"\x08\x07garbage" * 10)
    refused(example("infer.py", garbage), "")
    # N x H x W x C in, the mean of each channel out.
    onnx_model(tmp_path / "nhwc.onnx", [helper.make_node("Transpose", ["image"], ["planar"], perm=[0, 3, 1, 2]),
                                        helper.make_node("GlobalAveragePool", ["planar"], ["mean"])],
               [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 24, 32, 3])],
               [helper.make_tensor_value_info("mean", TensorProto.FLOAT, [1, 3, 1, 1])])
    Image.new("RGB", (64, 48), (255, 51, 0)).save(tmp_path / "picture.png")
    code, out, err = example("infer.py", tmp_path / "nhwc.onnx", tmp_path / "picture.png")
    if code != 0:  # a program may refuse the layout, with one line
        refused((code, out, err), "")
    else:
        means = [float(text.strip("[] ")) for text in out.split("\n")[1:] if text.strip("[] ")]
        assert means == pytest.approx([1.0, 0.2, 0.0], abs=1e-3)


def test_custom_op_without_the_example_plugin_says_how_to_build_it(tmp_path):
    # As after a pip install: the program and the module outside any build tree.
    (tmp_path / "site").mkdir()
    for module in MODULE_DIR.glob("_quillon_pybind11.*.so"):
        shutil.copy(module, tmp_path / "site")
    shutil.copy(ROOT / "examples" / "custom_op.py", tmp_path)
    refused(example(tmp_path / "custom_op.py", "--list", module_dir=tmp_path / "site"),
            "is not installed with the package: build it in a clone")


def test_encode_muxes_what_the_extension_names_and_refuses_a_size_that_does_not_fit(tmp_path):
    pictures = tmp_path / "clip.yuv"
    pictures.write_bytes(np.zeros(3 * 320 * 240 * 3 // 2, np.uint8).tobytes())
    code, _, err = example("encode.py", pictures, 320, 240, tmp_path / "clip.mp4")
    assert code == 0 and (tmp_path / "clip.mp4").read_bytes()[4:8] == b"ftyp", err
    refused(example("encode.py", pictures, 300, 240, tmp_path / "clip.h264"),
            "its 345600 bytes are not a whole number of 300x240 4:2:0 pictures (108000 bytes each)")
