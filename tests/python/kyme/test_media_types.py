"""kyme media types: the records' byte layouts, the stream and frame buffer
views, and the system functions."""
import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import resident_bytes

kyme = quillon.kyme


def le(value, width=4):
    return int(value).to_bytes(width, "little", signed=int(value) < 0)


class TestLayouts:
    def test_frame_members_read_their_library_offsets(self):
        f = kyme.frame()
        assert testctl.peek(f, 0, 128) == bytes(128) and f.privateData is None  # a fresh frame is zero
        assert (f.data, f.busAddress, f.stride) == ([], [], [])
        for offset, member, value in [(60, "dataSize", 0xFFFFFFF0), (64, "width", 1920), (68, "height", 1080),
                                      (80, "memoryType", kyme.memoryType.KYME_MEM_FLUSH),
                                      (84, "field", kyme.videoField.KYME_FLD_FRAME),
                                      (88, "pixelFormat", kyme.pixelFormat.KYME_PIX_FMT_NONE),
                                      (92, "frameType", kyme.frameType.KYME_FRM_B)]:
            testctl.poke(f, offset, le(value))
            assert getattr(f, member) == value, member
        for index, name in enumerate(["flag", "width", "height", "xOffset", "yOffset"]):
            testctl.poke(f, 96 + 4 * index, le(0xFFFFFFFF - index))
            assert getattr(f.cropInfo, name) == 0xFFFFFFFF - index
        testctl.poke(f, 120, le(0x1234560, 8))
        assert testctl.capsule_address(f.privateData) == 0x1234560
        assert testctl.peek(f, 72, 8) == bytes(8)  # untouched: the 64-bit value has no member

    def test_small_records_read_their_offsets_and_signedness(self):
        version, hardware, stream, rational = kyme.version(), kyme.hardwareID(), kyme.stream(), kyme.rational()
        assert testctl.peek(stream, 0, 32) == bytes(32) and np.array(stream).shape == (0,)  # a fresh stream is empty
        testctl.poke(version, 0, le(2) + le(1) + le(0xFFFFFFFF))
        assert (version.major, version.minor, version.build) == (2, 1, 0xFFFFFFFF)
        testctl.poke(hardware, 0, le(-1) + le(7))
        assert (hardware.dieID, hardware.coreID) == (-1, 7)
        data = np.arange(9, dtype=np.uint8)
        testctl.poke(stream, 0, le(data.ctypes.data, 8) + le(5))
        testctl.poke(stream, 24, le(2**64 - 1, 8))
        assert testctl.capsule_address(stream.stream) == data.ctypes.data
        assert bytes(np.array(stream)) == bytes(range(5)) and stream.inputBusAddress == 2**64 - 1
        stream.pts = -2
        assert testctl.peek(stream, 16, 8) == le(-2, 8)
        rational.numerator, rational.denominator = 30000, 1001
        assert testctl.peek(rational, 0, 8) == le(30000) + le(1001)
        pytest.raises(TypeError, setattr, rational, "numerator", -1)


class TestViews:
    @pytest.mark.no_sanitizer  # measures resident memory
    def test_views_are_freed_when_released(self):
        data = np.ones(4 << 20, dtype=np.uint8)
        s = kyme.stream()
        kyme.setStreamData(s, data)
        np.array(s)
        before = resident_bytes()
        for _ in range(50):
            with memoryview(s) as view:
                assert view.nbytes == data.size
            np.array(s)
        assert resident_bytes() - before < 32 << 20

    def test_a_length_without_an_address_is_refused(self):
        f = kyme.frame()
        with pytest.raises(RuntimeError, match=r"^Only support frame on the host, please transfer to the host\.$"):
            memoryview(f)
        testctl.poke(f, 80, le(1))  # memoryType = host
        assert np.array(memoryview(f)).size == 0
        testctl.poke(f, 60, le(7))  # dataSize = 7
        pytest.raises(RuntimeError, memoryview, f).match("no data address")

    def test_members_refer_into_the_frame_and_keep_it_alive(self):
        f = kyme.frame()
        crop, kind = f.cropInfo, f.memoryType
        testctl.poke(f, 96 + 4, le(640))
        testctl.poke(f, 80, le(2))
        assert kind == kyme.memoryType.KYME_MEM_FLUSH
        del f
        assert crop.width == 640


def test_system_functions_return_the_library_codes():
    kyme.systemUninitialize()
    codes = [kyme.systemInitialize(), kyme.systemInitialize(), kyme.systemUninitialize(), kyme.systemUninitialize()]
    assert codes == [0, 402003, 0, 402002] and kyme.getVersion() == "2.1.0.2"
