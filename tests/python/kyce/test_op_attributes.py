"""Op objects: what the setters hand the library for each data type, attribute
round trips and refusals, getters wider than their result, op life cycle."""
import math
import struct

import pytest

from images import device, kycm, kyce  # noqa: F401
from op_helpers import DT, O, PT, configure, download

BASE = kyce.kyceER_BASE
E, A = PT.kycePARAM_ELEMENT, PT.kycePARAM_ARRAY


@pytest.mark.parametrize("setter, dtype, value, sent", [
    ("element", DT.kyceDT_FLOAT, 2, 2.0),                   # int overload, through float32
    ("element", DT.kyceDT_UINT_8, 300, 44),                 # low 8 bits
    ("element", DT.kyceDT_UINT_16, -1, 65535),
    ("element", DT.kyceDT_INT, 2.9, 2),                     # float overload, truncated
    ("element", DT.kyceDT_INT, -2.9, -2),
    ("element", DT.kyceDT_DOUBLE, 0.1, 0.10000000149011612),  # held as float32 first
    ("element", DT.kyceDT_UINT_64, 2147483649, 2147483648),  # beyond int32: the float path
    ("element", DT.kyceDT_UINT_64, -1, 2**64 - 1),          # sign-extended
    ("element", DT.kyceDT_FLOAT_16, -2, 2**64 - 2),
    ("element", DT.kyceDT_UINT_32, -1, 2**32 - 1),
    # Floats outside the target's range saturate and NaN gives 0 (the plain C
    # conversion is undefined there).
    ("element", DT.kyceDT_INT, 3e9, 2**31 - 1),
    ("element", DT.kyceDT_INT, -3e9, -2**31),
    ("element", DT.kyceDT_UINT_32, -1.5, 0),
    ("element", DT.kyceDT_UINT_64, 1e30, 2**64 - 1),
    ("element", DT.kyceDT_UINT_8, math.nan, 0),
    ("array", DT.kyceDT_UINT_8, 300, 44),
    ("array", DT.kyceDT_INT, 2.9, 2),
    # The element setters pass index 0 after the value, so the library, which
    # reads an index for an array parameter type, never reads an argument
    # that was not passed.
    ("element-array", DT.kyceDT_INT, 5, 5),
    ("element-array", DT.kyceDT_DOUBLE, 1.5, 1.5),
])
def test_setters_convert_by_data_type(journal, setter, dtype, value, sent):
    ptype = E if setter == "element" else A
    if setter.startswith("element"):
        code = kyce.setKyceOPAttr(None, "a", dtype, ptype, value)
    else:
        code = kyce.setKyceOPAttrArray(None, "a", dtype, A, value, 7)
    assert code == BASE + 1  # no op
    (name, args), = journal()
    assert name == "kyceSetOpAttr" and args[1:4] == ("a", int(dtype), int(ptype))
    assert args[4] == sent and type(args[4]) is type(sent) and args[5] == (7 if setter == "array" else 0)


def test_setters_refuse_unknown_data_types_and_plain_ints(journal):
    for dtype in (kyce.dataType(0), kyce.dataType(9)):
        assert kyce.setKyceOPAttr(None, "a", dtype, E, 1) == BASE + 3
        assert kyce.setKyceOPAttrArray(None, "a", dtype, A, 1.5, 0) == BASE + 3
    assert journal() == []
    pytest.raises(TypeError, kyce.setKyceOPAttr, None, "a", 1, 1, 1)


@pytest.fixture
def op(runtime):
    made = kyce.createOp(O.kyceOP_WARP_AFFINE)
    yield made
    kyce.destroyOp(made)


def test_attributes_round_trip_and_refusals(op):
    get = kyce.getKyceOPAttrArrayDouble
    assert kyce.setKyceOPAttrArray(op, "matrix", DT.kyceDT_DOUBLE, A, 0.1, 5) == 0
    assert get(op, "matrix", DT.kyceDT_DOUBLE, 5) == 0.10000000149011612
    assert get(op, "matrix", DT.kyceDT_DOUBLE, 0) == 0.0
    assert kyce.setKyceOPAttrArray(op, "padding_values", DT.kyceDT_UINT_8, A, 300, 2) == 0
    assert kyce.getKyceOPAttrArrayUint8(op, "padding_values", DT.kyceDT_UINT_8, 2) == 44
    assert kyce.setKyceOPAttr(op, "mode", DT.kyceDT_INT, E, 2.9) == 0
    assert kyce.getKyceOPAttrInt(op, "mode", DT.kyceDT_INT) == 2
    # The element setter given the array parameter type sets element 0.
    assert kyce.setKyceOPAttr(op, "matrix", DT.kyceDT_DOUBLE, A, 4.5) == 0
    assert get(op, "matrix", DT.kyceDT_DOUBLE, 0) == 4.5

    assert kyce.setKyceOPAttr(op, "no_such", DT.kyceDT_INT, E, 1) == BASE + 21
    assert kyce.setKyceOPAttr(op, "mode", DT.kyceDT_UINT_32, E, 1) == BASE + 22  # data type
    assert kyce.setKyceOPAttrArray(op, "mode", DT.kyceDT_INT, A, 1, 0) == BASE + 22  # parameter type
    assert kyce.setKyceOPAttrArray(op, "matrix", DT.kyceDT_DOUBLE, A, 1.0, 6) == BASE + 23
    assert kyce.setKyceOPAttrArray(op, "matrix", DT.kyceDT_DOUBLE, A, 1.0, -1) == BASE + 23
    assert kyce.setKyceOPAttrArray(op, "matrix", DT.kyceDT_DOUBLE, PT.kycePARAM_TENSOR, 1.0, 0) == BASE + 22
    with pytest.raises(RuntimeError, match=r"^get op attr array error, ret: 200023\.$"):
        get(op, "matrix", DT.kyceDT_DOUBLE, 6)
    with pytest.raises(RuntimeError, match=r"^get op attr error, ret: 200021\.$"):
        kyce.getKyceOPAttrInt(op, "no_such", DT.kyceDT_INT)
    with pytest.raises(RuntimeError, match=r"^get op attr error, ret: 200022\.$"):
        kyce.getKyceOPAttrFloat(op, "mode", DT.kyceDT_FLOAT)
    assert kyce.getKyceOPAttrInt(op, "mode", DT.kyceDT_INT) == 2  # refusals changed nothing


def test_narrow_getters_read_their_width_of_a_wider_value(op):
    # The library writes the attribute's 8 bytes; the getter keeps its own.
    assert kyce.setKyceOPAttrArray(op, "matrix", DT.kyceDT_DOUBLE, A, -2.5, 1) == 0
    raw = struct.pack("<d", -2.5)
    assert kyce.getKyceOPAttrArrayUint8(op, "matrix", DT.kyceDT_DOUBLE, 1) == raw[0]
    assert kyce.getKyceOPAttrArrayUint16(op, "matrix", DT.kyceDT_DOUBLE, 1) == struct.unpack("<H", raw[:2])[0]
    assert kyce.getKyceOPAttrArrayFloat(op, "matrix", DT.kyceDT_DOUBLE, 1) == struct.unpack("<f", raw[:4])[0]
    assert kyce.getKyceOPAttrArrayUint64(op, "matrix", DT.kyceDT_DOUBLE, 1) == struct.unpack("<Q", raw)[0]


def test_op_life_cycle_and_unimplemented_types(runtime):
    for kind in (O.kyceOP_BERT_EMBEDDING_OP, O.kyceOP_CUSTOMIZED_OP, O.kyceOP_FUSION_OP_MAX_NUM):
        pytest.raises(RuntimeError, kyce.createOp, kind).match(r"^create op error, ret: 200020\.$")
    pytest.raises(RuntimeError, kyce.createOp, kyce.opType(12)).match(r"^create op error, ret: 200007\.$")
    op = kyce.createOp(O.kyceOP_RESIZE)
    assert kyce.getKyceOPAttrInt(op, "resize_type", DT.kyceDT_INT) == int(kyce.resizeType.kyceRESIZE_BILINEAR)
    assert kyce.destroyOp(op) == 0
    for call in (lambda: kyce.destroyOp(op), lambda: kyce.executeOp(op, None, None),
                 lambda: kyce.setKyceOPAttr(op, "resize_type", DT.kyceDT_INT, E, 1)):
        assert call() == 100005
    assert kyce.destroyOp(None) == BASE + 1


def test_memory_copy_op(device):
    src, dst = device(kyce.imageType.kyceIMG_GRAY, 40, 10), device(kyce.imageType.kyceIMG_GRAY, 40, 10)
    op = configure(kyce.createOp(O.kyceOP_MEM_COPY_OP))
    assert kyce.executeOp(op, src.handle, dst.handle) == BASE + 4  # size 0
    big = 2147483649  # beyond int32: travels as a float32, arrives as 2147483648
    assert kyce.setKyceOPAttr(op, "size", DT.kyceDT_UINT_64, E, big) == 0
    assert kyce.getKyceOPAttrUint64(op, "size", DT.kyceDT_UINT_64) == 2147483648
    assert kyce.executeOp(op, src.handle, dst.handle) == BASE + 6  # past the blocks
    configure(op, size=src.buf.size)
    assert kyce.executeOp(op, src.handle, dst.handle) == 0
    assert (download(dst.handle, src.buf.size) == src.buf).all()
    host = kycm.mallocHost(src.buf.size)
    assert kyce.executeOp(op, src.handle, host) == BASE + 6
    assert kyce.executeOp(op, None, dst.handle) == BASE + 1
    kycm.freeHost(host)
    kyce.destroyOp(op)
