"""The kyme submodule's surface, table by table: the order of what the media
types register, every enumeration's members and values, the fields of the
records with the bytes they read, and the functions' signatures."""
import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl

kyme = quillon.kyme
P = "_quillon_pybind11.kyme."

ENUMERATIONS = {
    "codecType": "KYME_CODEC_DEC_JPEG 0, KYME_CODEC_DEC_H264 1, KYME_CODEC_DEC_HEVC 2, KYME_CODEC_ENC_JPEG 100, "
                 "KYME_CODEC_ENC_H264 101, KYME_CODEC_ENC_HEVC 102",
    "sourceMode": "KYME_SRC_FRAME 0",
    "memoryType": "KYME_MEM_DEVICE 0, KYME_MEM_HOST 1, KYME_MEM_FLUSH 2",
    "pixelFormat": "KYME_PIX_FMT_NONE -1, KYME_PIX_FMT_YUV420P 0, KYME_PIX_FMT_YUV444P 1, KYME_PIX_FMT_YUV422P 2, "
                   "KYME_PIX_FMT_YUV420P9 3, KYME_PIX_FMT_YUV422P9 4, KYME_PIX_FMT_YUV444P9 5, "
                   "KYME_PIX_FMT_YUV420P10 6, KYME_PIX_FMT_YUV422P10 7, KYME_PIX_FMT_YUV444P10 8, "
                   "KYME_PIX_FMT_YUV420P12 9, KYME_PIX_FMT_YUV422P12 10, KYME_PIX_FMT_YUV444P12 11, "
                   "KYME_PIX_FMT_NV12 12, KYME_PIX_FMT_NV21 13, KYME_PIX_FMT_GRAY8 14, KYME_PIX_FMT_GRAY9 15, "
                   "KYME_PIX_FMT_GRAY10 16, KYME_PIX_FMT_GRAY12 17, KYME_PIX_FMT_RGB24 18, KYME_PIX_FMT_BGR24 19, "
                   "KYME_PIX_FMT_ARGB 20, KYME_PIX_FMT_RGBA 21, KYME_PIX_FMT_ABGR 22, KYME_PIX_FMT_BGRA 23, "
                   "KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010 24, KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010 25",
    "state": "KYME_ST_NONE 0, KYME_ST_READY 1, KYME_ST_RUNNING 2, KYME_ST_ERROR 3, KYME_ST_STOPPING 4, "
             "KYME_ST_STOPPED 5",
    "videoField": "KYME_FLD_FRAME 0",
    "frameType": "KYME_FRM_I 0, KYME_FRM_P 1, KYME_FRM_B 2",
    "chromaFormat": "KYME_CHROMA_FMT_NONE -1, KYME_CHROMA_FMT_400 0, KYME_CHROMA_FMT_411 1, KYME_CHROMA_FMT_420 2, "
                    "KYME_CHROMA_FMT_422 3, KYME_CHROMA_FMT_440 4, KYME_CHROMA_FMT_444 5",
    "jpegCodingMode": "KYME_JPEG_NONE 0, KYME_JPEG_BASELINE 1, KYME_JPEG_PROGRESSIVE 2, KYME_JPEG_NONINTERLEAVED 3",
    "videoProfile": "KYME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE 1, KYME_VIDEO_PRFL_HEVC_MAIN 0, "
                    "KYME_VIDEO_PRFL_HEVC_MAIN_10 2, KYME_VIDEO_PRFL_HEVC_MAIN_REXT 3, "
                    "KYME_VIDEO_PRFL_H264_BASELINE 9, KYME_VIDEO_PRFL_H264_MAIN 10, KYME_VIDEO_PRFL_H264_HIGH 11, "
                    "KYME_VIDEO_PRFL_H264_HIGH_10 12, KYME_VIDEO_PRFL_AV1_MAIN 0, KYME_VIDEO_PRFL_AV1_HIGH 1, "
                    "KYME_VIDEO_PRFL_AV1_PROFESSIONAL 2",
    "videoLevel": "KYME_VIDEO_LVL_HEVC_1 30, KYME_VIDEO_LVL_HEVC_2 60, KYME_VIDEO_LVL_HEVC_2_1 63, "
                  "KYME_VIDEO_LVL_HEVC_3 90, KYME_VIDEO_LVL_HEVC_3_1 93, KYME_VIDEO_LVL_HEVC_4 120, "
                  "KYME_VIDEO_LVL_HEVC_4_1 123, KYME_VIDEO_LVL_HEVC_5 150, KYME_VIDEO_LVL_HEVC_5_1 153, "
                  "KYME_VIDEO_LVL_HEVC_5_2 156, KYME_VIDEO_LVL_HEVC_6 180, KYME_VIDEO_LVL_HEVC_6_1 183, "
                  "KYME_VIDEO_LVL_HEVC_6_2 186, KYME_VIDEO_LVL_H264_1 10, KYME_VIDEO_LVL_H264_1_b 99, "
                  "KYME_VIDEO_LVL_H264_1_1 11, KYME_VIDEO_LVL_H264_1_2 12, KYME_VIDEO_LVL_H264_1_3 13, "
                  "KYME_VIDEO_LVL_H264_2 20, KYME_VIDEO_LVL_H264_2_1 21, KYME_VIDEO_LVL_H264_2_2 22, "
                  "KYME_VIDEO_LVL_H264_3 30, KYME_VIDEO_LVL_H264_3_1 31, KYME_VIDEO_LVL_H264_3_2 32, "
                  "KYME_VIDEO_LVL_H264_4 40, KYME_VIDEO_LVL_H264_4_1 41, KYME_VIDEO_LVL_H264_4_2 42, "
                  "KYME_VIDEO_LVL_H264_5 50, KYME_VIDEO_LVL_H264_5_1 51, KYME_VIDEO_LVL_H264_5_2 52, "
                  "KYME_VIDEO_LVL_H264_6 60, KYME_VIDEO_LVL_H264_6_1 61, KYME_VIDEO_LVL_H264_6_2 62",
}

RECORDS = {  # field: writable
    "stream": {"stream": False, "pts": True, "inputBusAddress": False},
    "frame": dict.fromkeys(["dataSize", "width", "height", "memoryType", "field", "pixelFormat", "frameType",
                            "cropInfo", "privateData", "data", "busAddress", "stride"], False),
    "cropInfo": dict.fromkeys(["flag", "width", "height", "xOffset", "yOffset"], False),
    "version": dict.fromkeys(["major", "minor", "build"], False),
    "hardwareID": dict.fromkeys(["dieID", "coreID"], False),
    "rational": dict.fromkeys(["numerator", "denominator"], True),
}

CONSTANTS = {"kymeER_SUCCESS": 0, "kymeER_RSLT_OK": 0, "kymeER_RSLT_ERR_START": 402000, "KYME_MAX_VIDEO_PLANE": 3,
             "kymeER_RSLT_WARN_MORE_DATA": 401001, "kymeER_RSLT_WARN_EOS": 401002}


def members(table):
    return [(name, int(value)) for name, value in (entry.rsplit(" ", 1) for entry in table.split(", "))]


def test_media_types_come_first_in_the_parts_order_and_the_readers_after():
    names = [n for n in vars(kyme) if not n.startswith("__")]
    types = [*ENUMERATIONS, *RECORDS, *CONSTANTS, "systemInitialize", "systemUninitialize", "getVersion"]
    assert names[:len(types)] == types
    readers = [names.index(n) for n in ("setStreamData", "H264Reader", "JpegReader", "YUVReader")]
    assert readers == sorted(readers) and names[-1] == "YUVReader"
    assert [getattr(kyme, n) for n in CONSTANTS] == list(CONSTANTS.values())


@pytest.mark.parametrize("name", ENUMERATIONS)
def test_enumeration_members_values_and_first_name_per_value(name):
    cls = getattr(kyme, name)
    expected = members(ENUMERATIONS[name])
    assert [(m, int(v)) for m, v in cls.__members__.items()] == expected
    first = {}
    for member, value in expected:
        first.setdefault(value, member)
        assert getattr(cls, member).value == value and not hasattr(kyme, member)
    for value, member in first.items():
        assert cls(value).name == member and str(cls(value)) == f"{name}.{member}"


@pytest.mark.parametrize("name", RECORDS)
def test_record_fields_and_which_are_writable(name):
    cls = getattr(kyme, name)
    fields = {f: vars(cls)[f].fset is not None for f in vars(cls) if not f.startswith("_")}
    assert fields == RECORDS[name] and list(fields) == list(RECORDS[name])
    assert cls.__init__.__doc__ == f"__init__(self: {P}{name}) -> None\n"


FRAME_FIELDS = [  # offset, width, member, value
    (60, 4, "dataSize", 0xFFFFFFF0),
    (64, 4, "width", 1920),
    (68, 4, "height", 1080),
    (80, 4, "memoryType", kyme.memoryType.KYME_MEM_FLUSH),
    (84, 4, "field", kyme.videoField.KYME_FLD_FRAME),
    (88, 4, "pixelFormat", kyme.pixelFormat.KYME_PIX_FMT_NONE),
    (92, 4, "frameType", kyme.frameType.KYME_FRM_B),
]


def test_frame_members_read_their_library_offsets():
    f = kyme.frame()
    for offset, width, member, value in FRAME_FIELDS:
        testctl.poke(f, offset, int(value).to_bytes(width, "little", signed=int(value) < 0))
        assert getattr(f, member) == value, member
    for index, name in enumerate(["flag", "width", "height", "xOffset", "yOffset"]):
        testctl.poke(f, 96 + 4 * index, (0xFFFFFFFF - index).to_bytes(4, "little"))
        assert getattr(f.cropInfo, name) == 0xFFFFFFFF - index
    testctl.poke(f, 120, (0x1234560).to_bytes(8, "little"))
    assert testctl.capsule_address(f.privateData) == 0x1234560
    assert testctl.peek(f, 72, 8) == bytes(8)  # untouched: the 64-bit value has no member


def test_small_records_read_their_offsets_and_signedness():
    version = kyme.version()
    testctl.poke(version, 0, b"".join(v.to_bytes(4, "little") for v in (2, 1, 0xFFFFFFFF)))
    assert (version.major, version.minor, version.build) == (2, 1, 0xFFFFFFFF)
    hardware = kyme.hardwareID()
    testctl.poke(hardware, 0, (-1).to_bytes(4, "little", signed=True) + (7).to_bytes(4, "little"))
    assert (hardware.dieID, hardware.coreID) == (-1, 7)
    stream = kyme.stream()
    data = np.arange(9, dtype=np.uint8)
    testctl.poke(stream, 0, data.ctypes.data.to_bytes(8, "little") + (5).to_bytes(4, "little"))
    testctl.poke(stream, 24, (2**64 - 1).to_bytes(8, "little"))
    assert testctl.capsule_address(stream.stream) == data.ctypes.data
    assert bytes(np.array(stream)) == bytes(range(5)) and stream.inputBusAddress == 2**64 - 1


@pytest.mark.parametrize("name, text", [
    ("systemInitialize", "systemInitialize() -> int\n\nInitialize the kyme system.\n"),
    ("systemUninitialize", "systemUninitialize() -> int\n\nUninitialize the kyme system.\n"),
    ("setStreamData", f"setStreamData(arg0: {P}stream, arg1: numpy.ndarray[numpy.uint8]) -> None\n"),
])
def test_function_signatures(name, text):
    assert getattr(kyme, name).__doc__ == text


def test_get_version_signature_and_docstring():
    text = kyme.getVersion.__doc__
    assert text.startswith("getVersion() -> ") and text.endswith("\n\nGet the KYME API version information.\n")
