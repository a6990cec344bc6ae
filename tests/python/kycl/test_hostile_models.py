"""Model files that lie about their weights or ask for more memory than a die
has: kyclCreateModel answers each with a code, in a child process so that a
crash or an exception escaping the C interface shows as a failed test."""
import ctypes
import json
import os
import resource
import subprocess
import sys

import numpy as np
import onnx
import pytest
from onnx import TensorProto as T, helper, numpy_helper

from conftest import MODULE_DIR
from test_models_and_streams import save

UNSUPPORTED_MODEL, OUT_OF_MEMORY = 302004, 100008


def tensor(name, elem_type, dims, raw=None, **typed):
    """A TensorProto holding exactly what it is given, whatever its dimensions say."""
    made = onnx.TensorProto(name=name, data_type=elem_type, dims=dims)
    if raw is not None:
        made.raw_data = raw
    for field, values in typed.items():
        getattr(made, field).extend(values)
    return made


def add_model(tmp_path, name, weight, shape=(1000, 1000)):
    """x + w, where the initializer w is given as it is."""
    value = helper.make_tensor_value_info
    return save(tmp_path, name, [helper.make_node("Add", ["x", "w"], ["y"])], [value("x", T.FLOAT, list(shape))],
                [value("y", T.FLOAT, list(shape))], [weight])


def short_weights(tmp_path):
    """Files whose stored weight bytes do not match their dimensions, each way
    ONNX can store them."""
    files = {}
    raw = tensor("w", T.FLOAT, [1000, 1000], bytes(16))
    files["raw_data"] = add_model(tmp_path, "raw_data", raw)
    files["float_data"] = add_model(tmp_path, "float_data", tensor("w", T.FLOAT, [1000, 1000], float_data=[1.0] * 4))
    long = tensor("w", T.FLOAT, [2, 2], bytes(20))
    files["raw_data_too_long"] = add_model(tmp_path, "raw_data_too_long", long, shape=(2, 2))
    external = tensor("w", T.FLOAT, [1000, 1000])
    external.data_location = onnx.TensorProto.EXTERNAL
    external.external_data.add(key="location", value="weights.bin")
    (tmp_path / "weights.bin").write_bytes(bytes(16))
    files["external_data"] = add_model(tmp_path, "external_data", external)
    huge = tensor("w", T.FLOAT, [1 << 62, 4], bytes(16))
    files["dimension_product_overflows"] = add_model(tmp_path, "dimension_product_overflows", huge, shape=(4,))
    negative = tensor("w", T.FLOAT, [-4], bytes(16))
    files["negative_dimension"] = add_model(tmp_path, "negative_dimension", negative, shape=(4,))
    # An int64 shape for Reshape, held in int64_data.
    value = helper.make_tensor_value_info
    shape = tensor("s", T.INT64, [1000], int64_data=[4])
    files["int64_data"] = save(tmp_path, "int64_data", [helper.make_node("Reshape", ["x", "s"], ["y"])],
                               [value("x", T.FLOAT, [4])], [value("y", T.FLOAT, [4])], [shape])
    # The same lie in a Constant node's tensor attribute.
    constant = helper.make_node("Constant", [], ["w"], value=raw)
    files["constant_node"] = save(tmp_path, "constant_node", [constant, helper.make_node("Add", ["x", "w"], ["y"])],
                                  [value("x", T.FLOAT, [1000, 1000])], [value("y", T.FLOAT, [1000, 1000])])
    return files


def huge_input(tmp_path, name, shape):
    value = helper.make_tensor_value_info
    return save(tmp_path, name, [helper.make_node("Relu", ["x"], ["y"])], [value("x", T.FLOAT, list(shape))],
                [value("y", T.FLOAT, list(shape))])


CHILD = """
import ctypes, json, sys
kycl = ctypes.CDLL(sys.argv[1] + "/libkycl.so")
codes = {}
for name, path in json.loads(sys.argv[2]).items():
    model = ctypes.c_void_p()
    codes[name] = kycl.kyclCreateModel(path.encode(), b"", b"", None, ctypes.byref(model))
    if codes[name] == 0:
        kycl.kyclDestroyModel(model)
print(json.dumps(codes))
"""


def create_codes(files, address_space=None, platform=None):
    """kyclCreateModel's code for each file, in a child process limited to
    `address_space` bytes."""
    def limit():
        if address_space:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

    env = dict(os.environ)
    if platform:
        env["QUILLON_PLATFORM"] = platform
    child = subprocess.run([sys.executable, "-c", CHILD, str(MODULE_DIR), json.dumps(files)], capture_output=True,
                           text=True, preexec_fn=limit, env=env, timeout=600)
    assert child.returncode == 0, child.stderr[-2000:]
    return json.loads(child.stdout)


def test_weights_whose_bytes_do_not_match_their_dimensions_are_refused(tmp_path):
    files = short_weights(tmp_path)
    files["sound"] = add_model(tmp_path, "sound", numpy_helper.from_array(np.ones((2, 2), np.float32), "w"), (2, 2))
    codes = create_codes(files)
    assert codes == {name: 0 if name == "sound" else UNSUPPORTED_MODEL for name in files}


@pytest.mark.no_sanitizer  # an address-space limit leaves no room for the sanitizer's shadow memory
def test_models_a_die_cannot_hold_are_refused_before_allocating(tmp_path):
    value = helper.make_tensor_value_info
    files = {"input": huge_input(tmp_path, "input", [1, 3, 50000, 50000]),
             # A small input whose declared output is larger than the die.
             "output": save(tmp_path, "output", [helper.make_node("Relu", ["x"], ["y"])], [value("x", T.FLOAT, [4])],
                            [value("y", T.FLOAT, [1, 3, 50000, 50000])]),
             # Input and output fit, not with what the network allocates besides.
             "network": huge_input(tmp_path, "network", [1, 3, 12000, 12000]),
             "medium": huge_input(tmp_path, "medium", [1, 3, 2000, 2000])}
    codes = create_codes(files, address_space=4 << 30)
    assert codes == {"input": OUT_OF_MEMORY, "output": OUT_OF_MEMORY, "network": OUT_OF_MEMORY, "medium": 0}
    # The die is the platform's.
    platform = tmp_path / "platform.json"
    platform.write_text('{"die": {"memory_mib": 64}}')
    assert create_codes({"medium": files["medium"]}, platform=str(platform)) == {"medium": OUT_OF_MEMORY}
