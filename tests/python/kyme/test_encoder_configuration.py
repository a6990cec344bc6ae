"""The encoder's configuration records and the channel life cycle: what the
adaptors hand the library, and which parameters a channel refuses."""
import pytest

import _quillon_testctl as testctl
from encoding import (H264, HEVC, INVALID_ARGUMENT, UNSUPPORTED_CONFIG, UNSUPPORTED_FORMAT, jpeg_parameters,
                      kyme, video_parameters as video)

INVALID_CHANNEL, CHANNEL_BUSY, WRONG_STATE = 402004, 402005, 402006


def roi(qp, top=0):
    item = kyme.encPictureROI()
    item.qpValue, item.area.top = qp, top
    return item


def test_roi_list_holds_copies_that_outlive_replacement():
    params, given = kyme.encExtendedParams(), roi(-3)
    params.roi = [given, roi(5)]
    given.qpValue = 9  # the adaptor copied it in
    held = params.roi
    assert [r.qpValue for r in held] == [-3, 5]
    held[0].area.top = 7  # items refer to the adaptor's records
    assert params.roi[0].area.top == 7
    params.roi = []
    assert held[0].qpValue == -3 and held[0].area.top == 7
    with pytest.raises(ValueError, match="at most 8"):
        params.roi = [roi(i) for i in range(9)]
    with pytest.raises(TypeError):
        params.roi = [kyme.encPictureArea()]


def test_nested_records_are_copied_in_and_negative_unsigned_values_refused():
    config, rate = kyme.encVideoConfiguration(), kyme.rational()
    assert (config.frameRate.numerator, config.frameRate.denominator) == (0, 0)
    rate.numerator = 30
    config.frameRate = rate
    rate.numerator = 60
    assert config.frameRate.numerator == 30
    config.crf = -1
    with pytest.raises(TypeError):
        config.intraQpDelta = -1
    assert kyme.encJPEGConfiguration().frameType == kyme.pixelFormat.KYME_PIX_FMT_YUV420P
    assert kyme.encChannelParamters().codecType == 0


def test_each_codec_reads_only_its_own_configuration(media):
    hevc = video(HEVC)
    hevc.jpegConfig.codingWidth = 1  # ignored by a video channel
    assert kyme.createEncoderChannel(hevc, 0) == 0
    jpeg = jpeg_parameters(64, 64, userData="abc")
    assert kyme.createEncoderChannel(jpeg, 1) == 0  # an all-zero videoConfig is not looked at
    for fields, code in [({"codingWidth": 16}, INVALID_ARGUMENT), ({"losslessEn": 1}, UNSUPPORTED_CONFIG),
                         ({"frameType": kyme.pixelFormat.KYME_PIX_FMT_YUV420P10}, UNSUPPORTED_FORMAT),
                         ({"frameType": kyme.pixelFormat.KYME_PIX_FMT_NV21, "userData": "x" * 65534}, INVALID_ARGUMENT)]:
        assert kyme.createEncoderChannel(jpeg_parameters(64, 64, **fields), 2) == code, fields
    for bad in (video(kyme.codecType.KYME_CODEC_DEC_H264), video(H264, 8194), video(H264, 320, 63)):
        assert kyme.createEncoderChannel(bad, 3) == INVALID_ARGUMENT


def test_life_cycle_codes(media):
    before = kyme.getEncoderAvailableChannels()
    assert kyme.createEncoderChannel(video(H264), 4) == 0
    assert kyme.createEncoderChannel(video(H264), 4) == CHANNEL_BUSY
    assert kyme.getEncoderAvailableChannels() == before - 1
    assert kyme.startEncoder(4) == 0 and kyme.startEncoder(4) == WRONG_STATE and kyme.stopEncoder(4) == 0
    assert kyme.destroyEncoderChannel(4) == 0 and kyme.destroyEncoderChannel(4) == INVALID_CHANNEL
    assert kyme.startEncoder(4) == INVALID_CHANNEL
    assert kyme.createEncoderChannel(video(H264), 10**6) == INVALID_CHANNEL


def test_available_channels_failure_text():
    testctl.arm_failure("kymeGetEncoderAvailableChannels", 402002)
    with pytest.raises(RuntimeError, match=r"^get encoder available channels, ret: 402002\.$"):
        kyme.getEncoderAvailableChannels()
