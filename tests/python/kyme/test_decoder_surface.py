"""What the decoder routine registers, in its order, between the media types
and the stream readers, and its constants."""
import _quillon_pybind11 as quillon

kyme = quillon.kyme

CLASSES = ["decChannelParamters", "decStreamInfo", "decJpegInfo", "decStatus", "decOutputOptions", "decVideoInfo",
           "jpegDecCapability", "videoDecCapability"]
CONSTANTS = {"KYME_DEC_MAX_PIX_FMT_NUM": 23, "KYME_DEC_MAX_CODING_MODE_NUM": 23, "KYME_DEC_JPEG_MAX_WIDTH": 32768,
             "KYME_DEC_JPEG_MAX_HEIGHT": 32768, "KYME_DEC_JPEG_MIN_WIDTH": 128, "KYME_DEC_JPEG_MIN_HEIGHT": 128,
             "KYME_DEC_VIDEO_MAX_WIDTH": 4096, "KYME_DEC_VIDEO_MAX_HEIGHT": 4096, "KYME_DEC_VIDEO_MIN_WIDTH": 128,
             "KYME_DEC_VIDEO_MIN_HEIGHT": 128, "KYME_DEC_MAX_STREAM_BUFFER_SIZE": 0x1000000}
FUNCTIONS = ["createDecoderChannel", "destroyDecoderChannel", "startDecoder", "resetDecoder", "stopDecoder",
             "sendStreamToDecoder", "receiveFrameFromDecoder", "jpegSyncDecoder", "transferFrameFromDecoder",
             "decReleaseFrame", "getJpegInfo", "getVideoInfo", "getStreamInfoFromDecoder", "getDecoderStatus",
             "jpegDecGetCaps", "videoDecGetCaps", "getDecoderAvailableChannels"]


def test_registration_order_and_constants():
    names = [n for n in vars(kyme) if not n.startswith("__")]
    start = names.index("getVersion") + 1
    expected = ["decodeMode", *CLASSES, *CONSTANTS, *FUNCTIONS, "setStreamData", "H264Reader", "JpegReader"]
    assert names[start:start + len(expected)] == expected
    assert {n: getattr(kyme, n) for n in CONSTANTS} == CONSTANTS
    assert [(m.name, m.value) for m in kyme.decodeMode.__members__.values()] == [
        ("KYME_DEC_NORMAL", 0), ("KYME_DEC_INTRA_ONLY", 1), ("KYME_DEC_SKIP_NONREF", 2)]

