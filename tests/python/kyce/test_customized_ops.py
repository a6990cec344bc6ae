"""Customized ops from the example plug-in: loading, listing, creating, configuring and releasing (running one
is covered by the host SDK's own tests)."""
import shutil

import pytest

from conftest import BUILD, download, quillon, upload

kyce = quillon.kyce
PLUGIN = BUILD / "plugins" / "libkyce_nv12_scale.so"
BASE = 200000
INVALID_PARAMETER, INVALID_HANDLE, LOAD, INVALID, RELEASED, UNKNOWN_NAME = (BASE + n for n in (8, 30, 31, 32, 33, 34))
CONFIG_ERROR = r"^kyce setCustomizedOpConfig error\.$"


def mapped(path):
    with open("/proc/self/maps") as maps:
        return str(path) in maps.read()


@pytest.fixture
def plugin(tmp_path):
    """A private copy of the plug-in, so that whether it is mapped says only what this test did."""
    return shutil.copy(PLUGIN, tmp_path / "libcopy.so")


def shape(width, height, pad=0):
    s = kyce.yuvNv12Shape()
    s.width, s.height, s.w_pitch, s.h_pitch = width, height, width + pad, height + pad
    return s


def config(outputs, scale=1.0):
    c = kyce.customCfgExample()
    c.iimage_shape, c.oimage_shape, c.scale = shape(64, 32, pad=2), outputs, scale
    return c


def code_of(call, *args):
    with pytest.raises(RuntimeError) as raised:
        call(*args)
    return int(str(raised.value).rpartition(" ")[2].rstrip("."))


def test_plug_ins_load_list_their_ops_and_create_them_by_name(tmp_path):
    info = kyce.loadCustomizedOp(str(PLUGIN))
    assert [kyce.getCustomizedOpName(info, i) for i in range(kyce.getCustomizedOpCount(info))] == [
        "nv12_scale", "nv12_scale_nearest"]
    assert code_of(kyce.getCustomizedOpName, info, 2) == code_of(kyce.getCustomizedOpName, info, -1)
    assert code_of(kyce.getCustomizedOpName, info, 2) == INVALID_PARAMETER
    assert type(kyce.createCustomizedOp(info, "nv12_scale_nearest")).__name__ == "PyCapsule"
    assert code_of(kyce.createCustomizedOp, info, "nv12_scale_") == UNKNOWN_NAME
    (tmp_path / "text.so").write_text("not a library")
    for path in (tmp_path / "missing.so", tmp_path / "text.so", ""):
        assert code_of(kyce.loadCustomizedOp, str(path)) == LOAD
    # A shared library without the plug-in entry point.
    assert code_of(kyce.loadCustomizedOp, str(BUILD / "python" / "libkycm.so")) == INVALID
    for call, args in ((kyce.createCustomizedOp, (info, "nv12_scale\0")), (kyce.loadCustomizedOp, (f"{PLUGIN}\0x",))):
        with pytest.raises(ValueError, match="NUL"):
            call(*args)
    assert kyce.unloadCustomizedOps(info) == 0 and kyce.destroyCustomizedOpInfo(info) == 0


def test_both_example_configurations_reach_the_op(journal):
    info = kyce.loadCustomizedOp(str(PLUGIN))
    op = kyce.createCustomizedOp(info, "nv12_scale")
    assert kyce.setCustomizedOpConfigExample(op, config([shape(32, 16)], scale=2.0)) == 0
    assert kyce.setCustomizedOpCfgCallbackExample(op) == 0
    assert [args[-1] for name, args in journal() if name == "kyceSetCustomizedOpConfig"] == [36]
    # The op checks what it is given: a zoom below 1, an odd size; None is no op.
    for target, bad in ((op, config([shape(32, 16)], 0.5)), (op, config([shape(31, 16)])),
                        (None, config([shape(8, 8)]))):
        pytest.raises(TypeError, kyce.setCustomizedOpConfigExample, target, bad).match(CONFIG_ERROR)
    for outputs in ([], [shape(32, 16)] * 2):
        with pytest.raises(TypeError, match="^Op output count not same as define$"):
            kyce.setCustomizedOpConfigExample(op, config(outputs))
    assert (kyce.setCustomizedOpCfgCallbackExample(None), kyce.setCustomizedOpCfgCallbackExample(info)) == (
        BASE + 1, INVALID_HANDLE)
    kyce.unloadCustomizedOps(info), kyce.destroyCustomizedOpInfo(info)
    # The output shapes read as copies: items referring into the list would dangle once it is replaced.
    c = config([shape(32, 16)])
    c.iimage_shape.width, c.oimage_shape[0].width = 128, 4
    c.oimage_shape.append(shape(8, 8))
    assert (c.iimage_shape.width, len(c.oimage_shape), c.oimage_shape[0].width) == (128, 1, 32)


@pytest.mark.parametrize("first, second", [(kyce.unloadCustomizedOps, kyce.destroyCustomizedOpInfo),
                                           (kyce.destroyCustomizedOpInfo, kyce.unloadCustomizedOps)])
def test_info_is_released_in_either_order(plugin, first, second):
    info = kyce.loadCustomizedOp(str(plugin))
    assert mapped(plugin) and first(info) == 0 and not mapped(plugin) and first(info) == RELEASED
    assert code_of(kyce.getCustomizedOpCount, info) == code_of(kyce.createCustomizedOp, info, "nv12_scale") == RELEASED
    assert second(info) == 0
    # The handle is gone: nothing of it is used again.
    assert first(info) == second(info) == code_of(kyce.getCustomizedOpName, info, 0) == INVALID_HANDLE

