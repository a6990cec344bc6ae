"""Op objects configured from keyword arguments, and device blocks read back."""
from conftest import download  # noqa: F401
from images import kyce

DT, PT, O = kyce.dataType, kyce.paramType, kyce.opType
# Attributes whose data type is not kyceDT_INT.
TYPES = {"padding_values": DT.kyceDT_UINT_8, "edges": DT.kyceDT_UINT_32, "size": DT.kyceDT_UINT_64,
         "matrix": DT.kyceDT_DOUBLE, "mean": DT.kyceDT_FLOAT, "std": DT.kyceDT_FLOAT}


def configure(op, **attributes):
    for name, value in attributes.items():
        dtype = TYPES.get(name, DT.kyceDT_INT)
        if isinstance(value, (list, tuple)):
            for i, item in enumerate(value):
                assert kyce.setKyceOPAttrArray(op, name, dtype, PT.kycePARAM_ARRAY, item, i) == 0, name
        else:
            assert kyce.setKyceOPAttr(op, name, dtype, PT.kycePARAM_ELEMENT, int(value)) == 0, name
    return op


def desc_list(d):
    return [d.width, d.height, d.widthPitch, d.heightPitch, int(d.format)]
