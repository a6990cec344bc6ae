"""kyme media types: enumerations, the stream and frame records and their
buffer views, the small shared records, constants and system functions."""
import os

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl

kyme = quillon.kyme


class TestEnumerations:
    def test_all_registered_in_order_with_their_values(self):
        names = ["codecType", "sourceMode", "memoryType", "pixelFormat", "state", "videoField", "frameType",
                 "chromaFormat", "jpegCodingMode", "videoProfile", "videoLevel"]
        for name in names:
            assert hasattr(kyme, name)
        assert list(kyme.codecType.__members__) == [
            "KYME_CODEC_DEC_JPEG", "KYME_CODEC_DEC_H264", "KYME_CODEC_DEC_HEVC",
            "KYME_CODEC_ENC_JPEG", "KYME_CODEC_ENC_H264", "KYME_CODEC_ENC_HEVC"]
        assert [int(m) for m in kyme.codecType.__members__.values()] == [0, 1, 2, 100, 101, 102]
        assert len(kyme.pixelFormat.__members__) == 27
        assert kyme.pixelFormat.KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010.value == 25
        assert len(kyme.videoLevel.__members__) == 33

    def test_negative_values(self):
        assert kyme.pixelFormat.KYME_PIX_FMT_NONE.value == -1
        assert kyme.pixelFormat(-1) == kyme.pixelFormat.KYME_PIX_FMT_NONE
        assert kyme.chromaFormat.KYME_CHROMA_FMT_NONE.value == -1

    def test_shared_values_read_back_as_the_first_registered_name(self):
        assert kyme.videoProfile(0).name == "KYME_VIDEO_PRFL_HEVC_MAIN"
        assert kyme.videoProfile(1).name == "KYME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE"
        assert kyme.videoProfile(2).name == "KYME_VIDEO_PRFL_HEVC_MAIN_10"
        assert kyme.videoProfile.KYME_VIDEO_PRFL_AV1_MAIN.value == 0
        assert kyme.videoProfile.KYME_VIDEO_PRFL_AV1_MAIN == kyme.videoProfile.KYME_VIDEO_PRFL_HEVC_MAIN
        assert kyme.videoLevel(30).name == "KYME_VIDEO_LVL_HEVC_1"
        assert kyme.videoLevel(60).name == "KYME_VIDEO_LVL_HEVC_2"
        assert kyme.videoLevel.KYME_VIDEO_LVL_H264_3.value == 30
        assert kyme.videoLevel(99).name == "KYME_VIDEO_LVL_H264_1_b"

    def test_members_stay_inside_their_class_and_are_not_arithmetic(self):
        assert not hasattr(kyme, "KYME_PIX_FMT_NV12")
        assert not hasattr(kyme, "KYME_MEM_HOST")
        with pytest.raises(TypeError):
            kyme.frameType.KYME_FRM_I < kyme.frameType.KYME_FRM_P  # noqa: B015


def test_constants():
    assert (kyme.kymeER_SUCCESS, kyme.kymeER_RSLT_OK, kyme.kymeER_RSLT_ERR_START, kyme.KYME_MAX_VIDEO_PLANE,
            kyme.kymeER_RSLT_WARN_MORE_DATA, kyme.kymeER_RSLT_WARN_EOS) == (0, 0, 402000, 3, 401001, 401002)


class TestStream:
    def test_fresh_stream_is_zero_and_its_view_empty(self):
        s = kyme.stream()
        assert s.stream is None and s.pts == 0 and s.inputBusAddress == 0
        view = np.array(s)
        assert view.dtype == np.uint8 and view.shape == (0,)
        assert testctl.peek(s, 0, 32) == bytes(32)

    def test_pts_is_signed_64_bit_at_offset_16_and_the_rest_read_only(self):
        s = kyme.stream()
        s.pts = -2
        assert s.pts == -2
        assert testctl.peek(s, 16, 8) == (-2).to_bytes(8, "little", signed=True)
        with pytest.raises(AttributeError):
            s.inputBusAddress = 1
        with pytest.raises(AttributeError):
            s.stream = None

    def test_view_is_a_copy_taken_when_requested(self):
        data = np.arange(16, dtype=np.uint8)
        s = kyme.stream()
        kyme.setStreamData(s, data)
        first = np.array(s)
        view = memoryview(s)
        data[0] = 200
        assert first[0] == 0 and view[0] == 0
        assert np.array(s)[0] == 200
        view[1] = 99
        assert data[1] == 1

    @pytest.mark.no_sanitizer  # measures resident memory
    def test_views_are_freed_when_released(self):
        data = np.ones(4 << 20, dtype=np.uint8)
        s = kyme.stream()
        kyme.setStreamData(s, data)
        np.array(s)
        before = _resident_bytes()
        for _ in range(50):
            with memoryview(s) as view:
                assert view.nbytes == data.size
            np.array(s)
        assert _resident_bytes() - before < 32 << 20

    def test_null_address_with_a_length_is_refused(self):
        s = kyme.stream()
        testctl.poke(s, 8, (5).to_bytes(4, "little"))
        with pytest.raises(RuntimeError, match="no data address"):
            memoryview(s)
        testctl.poke(s, 8, bytes(4))
        assert np.array(s).size == 0


class TestFrame:
    def test_fresh_frame(self):
        f = kyme.frame()
        assert (f.dataSize, f.width, f.height) == (0, 0, 0)
        assert f.memoryType == kyme.memoryType.KYME_MEM_DEVICE
        assert f.field == kyme.videoField.KYME_FLD_FRAME
        assert f.pixelFormat == kyme.pixelFormat.KYME_PIX_FMT_YUV420P
        assert f.frameType == kyme.frameType.KYME_FRM_I
        assert f.privateData is None
        assert (f.data, f.busAddress, f.stride) == ([], [], [])
        assert f.cropInfo.width == 0
        assert testctl.peek(f, 0, 128) == bytes(128)

    def test_every_member_is_read_only(self):
        f = kyme.frame()
        for name in ["dataSize", "width", "height", "memoryType", "field", "pixelFormat", "frameType",
                     "cropInfo", "privateData", "data", "busAddress", "stride"]:
            with pytest.raises(AttributeError):
                setattr(f, name, getattr(f, name))

    def test_buffer_only_for_host_frames(self):
        with pytest.raises(RuntimeError, match=r"^Only support frame on the host, please transfer to the host\.$"):
            memoryview(kyme.frame())

    def test_host_frame_without_address_is_refused(self):
        f = kyme.frame()
        testctl.poke(f, 80, (1).to_bytes(4, "little"))  # memoryType = host
        assert f.memoryType == kyme.memoryType.KYME_MEM_HOST
        assert np.array(memoryview(f)).size == 0
        testctl.poke(f, 60, (7).to_bytes(4, "little"))  # dataSize = 7
        with pytest.raises(RuntimeError, match="no data address"):
            memoryview(f)

    def test_enumeration_and_crop_members_refer_into_the_frame(self):
        f = kyme.frame()
        crop = f.cropInfo
        kind = f.memoryType
        testctl.poke(f, 96 + 4, (640).to_bytes(4, "little"))
        testctl.poke(f, 80, (2).to_bytes(4, "little"))
        assert crop.width == 640
        assert kind == kyme.memoryType.KYME_MEM_FLUSH
        del f
        assert crop.width == 640  # the member keeps its frame alive


class TestSmallRecords:
    def test_zeroed_and_read_only(self):
        for cls, fields in [(kyme.cropInfo, ["flag", "width", "height", "xOffset", "yOffset"]),
                            (kyme.version, ["major", "minor", "build"]),
                            (kyme.hardwareID, ["dieID", "coreID"])]:
            record = cls()
            for name in fields:
                assert getattr(record, name) == 0
                with pytest.raises(AttributeError):
                    setattr(record, name, 1)

    def test_rational_is_writable(self):
        r = kyme.rational()
        r.numerator, r.denominator = 30000, 1001
        assert (r.numerator, r.denominator) == (30000, 1001)
        assert testctl.peek(r, 0, 8) == (30000).to_bytes(4, "little") + (1001).to_bytes(4, "little")
        with pytest.raises(TypeError):
            r.numerator = -1


class TestSystem:
    def test_initialize_and_uninitialize_return_the_library_codes(self, journal):
        kyme.systemUninitialize()
        testctl.clear_journal()
        assert kyme.systemInitialize() == 0
        assert kyme.systemInitialize() == 402003
        assert kyme.systemUninitialize() == 0
        assert kyme.systemUninitialize() == 402002
        assert [name for name, _ in journal()] == ["kymeSystemInitialize"] * 2 + ["kymeSystemUninitialize"] * 2
        testctl.arm_failure("kymeSystemInitialize", 0xFFFFFFFF)
        assert kyme.systemInitialize() == 0xFFFFFFFF

    def test_get_version(self):
        assert kyme.getVersion() == "2.1.0.2"
        testctl.arm_failure("kymeGetVersion", 402001)
        with pytest.raises(RuntimeError, match=r"^get version error, ret: 402001\.$"):
            kyme.getVersion()
        testctl.arm_empty("kymeGetVersion")
        assert kyme.getVersion() is None

    def test_docstrings(self):
        assert kyme.__doc__ == "ordal media engine."
        assert kyme.systemInitialize.__doc__.endswith("Initialize the kyme system.\n")
        assert kyme.systemUninitialize.__doc__.endswith("Uninitialize the kyme system.\n")
        assert kyme.getVersion.__doc__.endswith("Get the KYME API version information.\n")


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
