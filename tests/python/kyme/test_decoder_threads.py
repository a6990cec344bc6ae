"""How many threads a video channel decodes with when QUILLON_DECODE_THREADS
is not set: a lone channel takes the processors it may run on, channels
decoding together share them. Counted as the process's threads while the
channels are in the middle of a stream."""
import os
import shutil

import numpy as np
import pytest

from decoding import Decoder, encode, kyme, nal_units, open_channel, reference

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = encode(tmp_path_factory.mktemp("clip") / "clip.h264", "h264")
    return path, reference(path, "yuv420p")


def threads_mid_stream(channels, path):
    """The threads the process gained once every channel has half of the
    stream, and each channel's pictures (checked whole by the caller)."""
    units = [np.array(s) for s in nal_units(path)]
    stream = kyme.stream()
    decoders = [Decoder(c) for c in channels]
    before = len(os.listdir("/proc/self/task"))
    for c in channels:
        open_channel(c, "KYME_CODEC_DEC_H264")
    for decoder in decoders:
        for unit in units[:len(units) // 2]:
            kyme.setStreamData(stream, unit)
            decoder.send(stream)
    counted = len(os.listdir("/proc/self/task")) - before
    for decoder in decoders:
        for unit in units[len(units) // 2:]:
            kyme.setStreamData(stream, unit)
            decoder.send(stream)
    return counted, [decoder.finish() for decoder in decoders]


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")
@pytest.mark.parametrize("channels", [(0,), (0, 64)], ids=["alone", "two at once"])
def test_channels_share_the_processors(media, clip, monkeypatch, channels):
    path, expected = clip
    processors = len(os.sched_getaffinity(0))
    monkeypatch.setenv("QUILLON_DECODE_THREADS", "1")
    single, pictures = threads_mid_stream(channels, path)
    assert pictures == [expected] * len(channels)
    for c in channels:
        assert kyme.destroyDecoderChannel(c) == 0
    monkeypatch.delenv("QUILLON_DECODE_THREADS")
    automatic, pictures = threads_mid_stream(channels, path)
    assert pictures == [expected] * len(channels)
    share = min(8, processors // len(channels))
    # libavcodec adds its own threads only when a channel has more than one.
    assert automatic - single == (len(channels) * share if share > 1 else 0)

