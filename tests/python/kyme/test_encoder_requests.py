"""What a channel's configuration and per-picture requests do to the stream, and what creation refuses."""
import numpy as np
import pytest

from encoding import (H264, HEVC, INVALID_ARGUMENT, OK, UNSUPPORTED_CONFIG, decoded, encode_file, first_frame, kyme, psnr,
                      raw_clip, video_parameters)


@pytest.fixture(scope="module")
def long_clip(tmp_path_factory):
    return raw_clip(tmp_path_factory.mktemp("clips") / "long.yuv", 300)


def bits_per_second(data, pictures):
    return len(data) * 8 * 25 / pictures


@pytest.mark.parametrize("codec", [H264, HEVC])
@pytest.mark.parametrize("vbr", [0, 1])
def test_target_bit_rate_is_met_and_follows_an_update(media, long_clip, codec, vbr):
    rate = 300000
    params = video_parameters(codec, bitRate=rate, vbr=vbr, vbvMaxRate=2 * rate if vbr else 0)
    assert abs(bits_per_second(encode_file(long_clip, params), 300) / rate - 1) <= 0.15

    def halve(index):
        if index == 150:
            request = kyme.encExtendedParams()
            request.updateBitRate = rate // 2
            return request

    # Half the pictures at each rate: three quarters of the bits.
    changed = bits_per_second(encode_file(long_clip, params, params_of=halve), 300)
    assert abs(changed / (0.75 * rate) - 1) <= 0.15


def test_update_without_a_target_is_refused(media, long_clip):
    request, (reader, frame) = kyme.encExtendedParams(), first_frame(long_clip)
    request.updateBitRate = 1000
    assert kyme.createEncoderChannel(video_parameters(H264), 0) == OK and kyme.startEncoder(0) == OK
    assert kyme.sendFrameToEncoder(0, frame, request, 0) == UNSUPPORTED_CONFIG
    roi = kyme.encPictureROI()
    roi.area.enable, roi.area.right, roi.area.bottom = 1, 16, 16
    request.updateBitRate, request.roi = 0, [roi]
    assert kyme.sendFrameToEncoder(0, frame, request, 0) == UNSUPPORTED_CONFIG  # enableROI is 0
    reader.release()


@pytest.mark.parametrize("codec", [H264, HEVC])
def test_negative_delta_qp_raises_psnr_inside_the_region(media, long_clip, tmp_path, codec):
    top, left, bottom, right = 64, 96, 176, 224
    source = np.fromfile(long_clip, np.uint8, 20 * 320 * 360).reshape(-1, 360, 320)[:, :240, :]
    short = tmp_path / "short.yuv"
    short.write_bytes(np.fromfile(long_clip, np.uint8, 20 * 320 * 360).tobytes())

    def inside(delta):
        def ask(index):
            roi, request = kyme.encPictureROI(), kyme.encExtendedParams()
            roi.area.enable, roi.area.top, roi.area.left, roi.area.bottom, roi.area.right = 1, top, left, bottom, right
            roi.qpType, roi.qpValue = kyme.encQPType.KYME_ENC_QP_DELTA, delta
            request.roi = [roi]
            return request

        out = tmp_path / "out.bin"
        out.write_bytes(encode_file(short, video_parameters(codec, enableROI=1), params_of=ask))
        return psnr(decoded(out, 320, 240)[:, :240, :][:, top:bottom, left:right], source[:, top:bottom, left:right])

    assert inside(-10) >= inside(0) + 3


@pytest.mark.parametrize("codec, fields, code", [
    (HEVC, {"cqp": 30, "level": kyme.videoLevel.KYME_VIDEO_LVL_HEVC_4}, UNSUPPORTED_CONFIG),  # x265 refuses to open
    (HEVC, {"level": kyme.videoLevel.KYME_VIDEO_LVL_HEVC_1, "width": 1920, "height": 1080}, UNSUPPORTED_CONFIG),
    (H264, {"enableROI": 1, "aqStrength": -1.0}, UNSUPPORTED_CONFIG),  # x264 skips regions without AQ
    (H264, {"bitDepthLuma": 10, "profile": kyme.videoProfile.KYME_VIDEO_PRFL_H264_MAIN}, UNSUPPORTED_CONFIG),
    (HEVC, {"profile": kyme.videoProfile.KYME_VIDEO_PRFL_HEVC_MAIN_REXT}, UNSUPPORTED_CONFIG),
    (H264, {"cqp": 30, "bitRate": 100000}, UNSUPPORTED_CONFIG),
    (H264, {"qpMinI": 30, "qpMaxPB": 20}, UNSUPPORTED_CONFIG),
    (H264, {"vbvMaxRate": 100000}, UNSUPPORTED_CONFIG),  # a VBV needs a target bit rate
    (H264, {"gopSize": 17}, INVALID_ARGUMENT),
    (H264, {"crf": 52}, INVALID_ARGUMENT),
    (HEVC, {"bitDepthLuma": 9}, INVALID_ARGUMENT),
    (H264, {"level": kyme.videoLevel.KYME_VIDEO_LVL_HEVC_3_1}, INVALID_ARGUMENT),
    (H264, {"aqStrength": float("nan")}, INVALID_ARGUMENT),
])
def test_combinations_the_codecs_cannot_honour_are_refused_at_creation(media, codec, fields, code):
    assert kyme.createEncoderChannel(video_parameters(codec, **fields), 0) == code
    assert kyme.getEncoderAvailableChannels() > 0 and kyme.startEncoder(0) != OK  # nothing was created

