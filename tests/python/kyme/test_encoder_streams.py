"""Video encoding checked by ffprobe, ffmpeg's decode against the source and the module's own H264Reader."""
import numpy as np
import pytest

from decoding import nal_units
from encoding import (DEFAULT, EOS, H264, HEVC, OK, UNKNOWN_STREAM, WRONG_STATE, Encoder, decoded, encode_file, kyme,
                      probe, psnr, raw_clip, video_parameters)

LEVEL, PROFILE = kyme.videoLevel, kyme.videoProfile


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    return raw_clip(folder / "clip.yuv", 30), raw_clip(folder / "clip_nv12.yuv", 30, pix_fmt="nv12")


def unit_types(path, hevc):
    """The NAL type of each unit the module's H264Reader cuts from a file."""
    headers = [data[data.index(b"\0\0\1") + 3] for data in (bytes(memoryview(s)) for s in nal_units(path))]
    return [(h >> 1) & 0x3F if hevc else h & 0x1F for h in headers]


@pytest.mark.parametrize("codec, nv12, profile, level, expected", [
    (H264, False, PROFILE.KYME_VIDEO_PRFL_H264_MAIN, LEVEL.KYME_VIDEO_LVL_H264_3_1, ("h264", "Main", 31)),
    (H264, True, None, None, ("h264", "High", 13)),  # a zeroed record leaves both to x264
    (HEVC, True, PROFILE.KYME_VIDEO_PRFL_HEVC_MAIN, LEVEL.KYME_VIDEO_LVL_HEVC_3_1, ("hevc", "Main", 93)),
])
def test_stream_has_the_configured_coding_and_decodes_close_to_the_source(media, clip, tmp_path, codec, nv12,
                                                                          profile, level, expected):
    # veryfast: ultrafast codes nothing beyond Constrained Baseline, whatever the profile allows
    params = video_parameters(codec, qualityMode=kyme.encQualityMode.KYME_SILVER2_QUALITY, crf=24)
    if profile is not None:
        params.videoConfig.profile, params.videoConfig.level = profile, level
    pix = kyme.pixelFormat.KYME_PIX_FMT_NV12 if nv12 else kyme.pixelFormat.KYME_PIX_FMT_YUV420P
    out = tmp_path / "out.bin"
    out.write_bytes(encode_file(clip[nv12], params, pix))
    info = probe(out)
    assert (info["codec_name"], info["profile"], info["level"]) == expected
    assert (info["width"], info["height"], info["nb_read_frames"]) == (320, 240, "30")
    assert psnr(decoded(out, 320, 240), np.fromfile(clip[0], np.uint8).reshape(-1, 360, 320)) >= 38


@pytest.mark.parametrize("codec, idr, parameter_set", [(H264, {5}, 7), (HEVC, {19, 20}, 32)])
def test_force_idr_and_reset_start_where_asked(media, clip, tmp_path, codec, idr, parameter_set):
    def ask(index):
        p = kyme.encExtendedParams()
        p.forceIDR, p.resetStream = index == 17, index == 9
        return p

    out = tmp_path / "out.bin"
    # Long key-picture distance and B-pictures: only the requests make IDR pictures.
    out.write_bytes(encode_file(clip[0], video_parameters(codec, keyInt=250, gopSize=4, bBPyramid=DEFAULT), 
                                params_of=ask))
    units = unit_types(out, codec == HEVC)
    pictures = [i for i, t in enumerate(units) if t < (32 if codec == HEVC else 6)]
    starts = [n for n, i in enumerate(pictures) if units[i] in idr]
    assert starts == [0, 9, 17]
    for n in starts:  # each preceded by its parameter sets
        assert parameter_set in units[pictures[n - 1] + 1 if n else 0:pictures[n]]
    assert probe(out)["nb_read_frames"] == "30"


def test_end_of_stream_release_and_pts(media, clip):
    encoder = Encoder(0, video_parameters(H264, gopSize=3))
    reader, frame = kyme.YUVReader(str(clip[0]), kyme.pixelFormat.KYME_PIX_FMT_YUV420P, 320, 240, 320), kyme.frame()
    reader.init()
    for _ in range(10):
        assert reader.getFrame(frame) and kyme.sendFrameToEncoder(0, frame, None, 1000) == OK
    assert kyme.sendFrameToEncoder(0, kyme.frame(), None, 1000) == OK  # dataSize 0: the end
    assert kyme.sendFrameToEncoder(0, frame, None, 1000) == EOS
    held = kyme.stream()
    assert kyme.receiveStreamFromEncoder(0, held, 5000) == OK
    assert held.pts == 0 and bytes(memoryview(held))[:4] == b"\0\0\0\1" and encoder.drain(5000) == EOS
    assert sorted(encoder.pts) == list(range(1, 10))  # the reader's picture counters
    assert kyme.receiveStreamFromEncoder(0, kyme.stream(), 0) == EOS
    assert kyme.encReleaseStream(0, held, 0) == OK and kyme.encReleaseStream(0, held, 0) == UNKNOWN_STREAM
    pytest.raises(RuntimeError, memoryview, held)
    assert kyme.resetEncoder(0) == OK  # a new stream
    assert kyme.sendFrameToEncoder(0, frame, None, 1000) == OK
    assert kyme.stopEncoder(0) == OK and kyme.sendFrameToEncoder(0, frame, None, 0) == WRONG_STATE
    reader.release()
    assert kyme.destroyEncoderChannel(0) == OK
