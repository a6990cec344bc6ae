"""Polling a full encoder channel must not copy the picture on every attempt
(measured as the calling thread's CPU time, with a wide margin)."""
import resource

import pytest

from encoding import H264, OK, TIMEOUT, kyme, raw_clip, video_parameters

ATTEMPTS = 300


@pytest.fixture
def media(runtime):
    kyme.systemUninitialize()
    assert kyme.systemInitialize() == 0
    yield
    kyme.systemUninitialize()


def thread_cpu():
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime + usage.ru_stime


@pytest.mark.no_sanitizer
def test_attempts_on_a_full_channel_do_not_copy_the_picture(media, tmp_path):
    reader, frame = kyme.YUVReader(str(raw_clip(tmp_path / "hd.yuv", 1, size="1920x1080")),
                                   kyme.pixelFormat.KYME_PIX_FMT_YUV420P, 1920, 1080, 1920), kyme.frame()
    reader.init()
    assert reader.getFrame(frame)
    params = video_parameters(H264, 1920, 1080)
    params.outbufNum = 1
    assert kyme.createEncoderChannel(params, 0) == OK and kyme.startEncoder(0) == OK
    try:
        # Nobody takes the units: the worker stops and the input queue fills.
        for _ in range(50):
            if kyme.sendFrameToEncoder(0, frame, None, 2000) == TIMEOUT:
                break
        else:
            pytest.fail("the channel never filled")
        start = thread_cpu()
        codes = {kyme.sendFrameToEncoder(0, frame, None, 0) for _ in range(ATTEMPTS)}
        spent = thread_cpu() - start
        assert codes == {TIMEOUT}
        # A 3 MB copy costs well over 0.1 ms, a look at the queue microseconds.
        assert spent < ATTEMPTS * 0.0001, f"{spent * 1000:.1f} ms of CPU for {ATTEMPTS} attempts"
    finally:
        reader.release()
        kyme.stopEncoder(0)
        kyme.destroyEncoderChannel(0)
