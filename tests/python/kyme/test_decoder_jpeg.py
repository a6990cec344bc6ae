"""JPEG channels against libjpeg-turbo's decode through Pillow; refused files that cost the channel nothing; the
JPEG information and the capability lists."""
import hashlib

import numpy as np
import pytest
from PIL import Image

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from decoding import OK, TIMEOUT, UNKNOWN_FRAME, Decoder, jpeg_decoded, kyme, open_channel

JPEG = "KYME_CODEC_DEC_JPEG"
UNSUPPORTED, CORRUPT = 402008, 402009


@pytest.fixture(scope="module")
def picture():
    rgb = np.array(Image.effect_mandelbrot((333, 251), (-2, -1.2, 1, 1.2), 60).convert("RGB"))
    rgb[:, :, 1] = np.roll(rgb[:, :, 0], 40, axis=1)
    rgb[:, :, 2] = np.arange(333, dtype=np.uint8)[None, :]
    return Image.fromarray(rgb)


def pillow_planes(path, output):
    """What Pillow's decode gives for the output format, as one flat array."""
    image = Image.open(path)
    if output == "YUV444P":  # colour components as coded, plane after plane
        image.draft("YCbCr", image.size)
        return np.array(image).transpose(2, 0, 1).ravel()
    return np.array(image.convert("L" if output == "GRAY8" else "RGB")).ravel()


CASES = [  # subsampling (Pillow's: 0 = 4:4:4, 1 = 4:2:2, 2 = 4:2:0), progressive, mode, output, chroma format
    (2, False, "RGB", "RGB24", "KYME_CHROMA_FMT_420"),
    (2, True, "RGB", "RGB24", "KYME_CHROMA_FMT_420"),
    (1, False, "RGB", "RGB24", "KYME_CHROMA_FMT_422"),
    (1, True, "RGB", "BGR24", "KYME_CHROMA_FMT_422"),
    (0, False, "RGB", "YUV444P", "KYME_CHROMA_FMT_444"),
    (0, True, "RGB", "RGB24", "KYME_CHROMA_FMT_444"),
    (0, False, "L", "GRAY8", "KYME_CHROMA_FMT_400"),
    (0, True, "L", "GRAY8", "KYME_CHROMA_FMT_400"),
]


@pytest.mark.parametrize("subsampling, progressive, mode, output, chroma", CASES)
def test_planes_equal_pillows_decode(media, picture, tmp_path, subsampling, progressive, mode, output, chroma):
    path = str(tmp_path / "p.jpg")
    picture.convert(mode).save(path, quality=90, subsampling=subsampling, progressive=progressive, dpi=(72, 96))
    open_channel(0, JPEG, "KYME_PIX_FMT_" + output)
    reader, stream = kyme.JpegReader(path), kyme.stream()
    reader.init()
    assert reader.getStream(stream) == 1
    decoder = Decoder(0)
    decoder.send(stream)
    expected = pillow_planes(path, output)
    if output == "BGR24":
        expected = expected.reshape(-1, 3)[:, ::-1].ravel()
    assert np.array_equal(jpeg_decoded(path), expected)
    assert decoder.finish() == [hashlib.md5(expected).hexdigest()]

    info = kyme.decJpegInfo()
    assert kyme.getJpegInfo(path, info) == OK
    assert (info.width, info.height, info.x_density, info.y_density) == (333, 251, 72, 96)
    assert info.outputFormat == getattr(kyme.chromaFormat, chroma)
    assert info.codingMode == (kyme.jpegCodingMode.KYME_JPEG_PROGRESSIVE if progressive
                               else kyme.jpegCodingMode.KYME_JPEG_BASELINE)


def test_native_format_follows_the_sampling(media, picture, tmp_path):
    open_channel(0, JPEG, "KYME_PIX_FMT_NONE")
    for subsampling, name in ((2, "YUV420P"), (1, "YUV422P"), (0, "YUV444P")):
        path = str(tmp_path / f"{subsampling}.jpg")
        picture.save(path, subsampling=subsampling)
        frame = kyme.frame()
        assert kyme.jpegSyncDecoder(0, path, frame, 1000) == OK
        assert frame.pixelFormat == getattr(kyme.pixelFormat, "KYME_PIX_FMT_" + name)
        assert frame.memoryType == kyme.memoryType.KYME_MEM_DEVICE and kyme.decReleaseFrame(0, frame, 0) == OK


def test_lossless_and_corrupt_files_are_refused_and_the_channel_goes_on(media, picture, tmp_path):
    good = tmp_path / "good.jpg"
    picture.save(good, quality=80)
    data = good.read_bytes()
    sof, sos = data.index(b"\xff\xc0"), data.index(b"\xff\xda")
    tables = data.index(b"\xff\xc4", sof)
    files = {"lossless.jpg": (data[:sof + 1] + b"\xc3" + data[sof + 2:], UNSUPPORTED),  # a lossless frame header
             "truncated.jpg": (data[:sof + 8] + b"\xff\xd9", CORRUPT),
             "no-end.jpg": (data[:-2], 402001),  # the scan finds no image: an empty stream
             # headers that parse, but a scan of a component the frame lacks: TurboJPEG's own fatal error
             "bad-scan.jpg": (data[:sos + 5] + b"\x09" + data[sos + 6:], CORRUPT),
             "garbage.jpg": (b"\xff\xd8" + bytes(range(256)) * 4 + b"\xff\xd9", CORRUPT),
             # ends inside a Huffman table after the frame header: TurboJPEG stops reading the header half way
             "truncated-tables.jpg": (data[:tables + 10] + b"\xff\xd9", CORRUPT)}
    open_channel(0, JPEG, "KYME_PIX_FMT_RGB24")
    for name, (content, code) in files.items():
        (tmp_path / name).write_bytes(content)
        assert kyme.jpegSyncDecoder(0, str(tmp_path / name), kyme.frame(), 1000) == code, name
        assert np.array_equal(jpeg_decoded(good), pillow_planes(good, "RGB24"))
    status = kyme.decStatus()
    kyme.getDecoderStatus(0, status)
    assert (status.droppedFrames, status.result, status.runningFrames) == (5, CORRUPT, 6)

    # The same through the channel's worker: corrupt, good, good gives two pictures.
    decoder = Decoder(0)
    for content in (files["truncated-tables.jpg"][0], data, data):
        decoder.send(np.frombuffer(content, np.uint8).copy())
    assert len(decoder.finish()) == 2


def test_a_full_device_is_out_of_memory_not_a_time_out(media, picture, tmp_path):
    path = tmp_path / "p.jpg"
    picture.save(path)
    open_channel(0, JPEG, "KYME_PIX_FMT_RGB24")
    kycm = quillon.kycm
    hog = kycm.malloc((4096 << 20) - 4096)  # all of the default die's memory but a page
    try:
        assert kyme.jpegSyncDecoder(0, str(path), kyme.frame(), 1000) == 402011
    finally:
        kycm.free(hog)
    frame = kyme.frame()
    assert kyme.jpegSyncDecoder(0, str(path), frame, 1000) == OK and kyme.decReleaseFrame(0, frame, 0) == OK


def test_capability_lists_are_appended_to():
    caps = kyme.jpegDecCapability()
    for calls in (1, 2):
        assert kyme.jpegDecGetCaps(caps) == OK
        assert len(caps.codingMode) == len(caps.pixelFormats) == 23 * calls
    assert (caps.maxWidth, caps.minHeight) == (32768, 128)
    assert caps.codingMode[:2] == [kyme.jpegCodingMode.KYME_JPEG_BASELINE, kyme.jpegCodingMode.KYME_JPEG_PROGRESSIVE]
    video = kyme.videoDecCapability()
    assert kyme.videoDecGetCaps(kyme.codecType.KYME_CODEC_ENC_H264, video) == 402001
    assert video.pixelFormats == [] and video.maxWidth == 0
    assert kyme.videoDecGetCaps(kyme.codecType.KYME_CODEC_DEC_HEVC, video) == OK
    assert (video.bitDepth, video.maxWidth, video.minWidth, len(video.pixelFormats)) == (10, 4096, 128, 23)
    assert kyme.pixelFormat.KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010 in video.pixelFormats
    assert kyme.decChannelParamters().pixelFormat == kyme.pixelFormat.KYME_PIX_FMT_YUV420P


@pytest.mark.parametrize("release", ["reset", "uninitialize"])
def test_pictures_of_a_reset_device_are_never_handed_out(media, picture, tmp_path, release):
    path = tmp_path / "p.jpg"
    picture.save(path)
    open_channel(0, JPEG, "KYME_PIX_FMT_RGB24")  # four pictures in its pool
    held = [kyme.frame(), kyme.frame()]
    for frame in held:
        assert kyme.jpegSyncDecoder(0, str(path), frame, 1000) == OK
    stream, array = kyme.stream(), np.fromfile(path, np.uint8)
    kyme.setStreamData(stream, array)
    status = kyme.decStatus()
    for _ in range(2):
        assert kyme.sendStreamToDecoder(0, stream, 1000) == OK
    while kyme.getDecoderStatus(0, status) == OK and status.bufferedFrames < 2:
        pass  # the pool is full once both are decoded

    kycm = quillon.kycm
    if release == "reset":
        assert kycm.resetDevice(0) == OK
    else:
        assert kycm.uninitialize() == OK and kycm.initialize() == OK
    # The two decoded pictures went with the device's memory, and so did the held ones.
    assert kyme.receiveFrameFromDecoder(0, kyme.frame(), kyme.decOutputOptions(), 0) == TIMEOUT
    assert kyme.transferFrameFromDecoder(0, held[0], False) == UNKNOWN_FRAME
    assert kyme.decReleaseFrame(0, held[1], 0) == OK
    for _ in range(5):  # the pool has its room back; every picture is readable
        assert np.array_equal(jpeg_decoded(path), pillow_planes(path, "RGB24"))
    kyme.getDecoderStatus(0, status)
    assert (status.droppedFrames, status.bufferedFrames) == (2, 0) and kyme.destroyDecoderChannel(0) == OK
    assert testctl.device_memory_used(0) == 0  # nothing of another owner was released in its place
