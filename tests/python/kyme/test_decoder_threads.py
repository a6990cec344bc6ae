"""Threads of a video channel without QUILLON_DECODE_THREADS: its share of the processors among the channels
that have input, counted as the threads it adds against one thread per channel."""
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from decoding import OK, TIMEOUT, Decoder, encode, kyme, nal_units, open_channel, reference

pytestmark = pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = encode(tmp_path_factory.mktemp("clip") / "clip.h264", "h264")
    return path, reference(path, "yuv420p"), [np.array(s) for s in nal_units(path)]


def threads_of_a_channel(clip, other, every_processor=False):
    """Threads channel 0 gained halfway through the clip while channel 64, on the other die, is `other`: absent,
    started and idle, or stalled (its pictures never received); `every_processor`: channel 0 made with enableMC."""
    _, expected, units = clip
    stream = kyme.stream()
    if other != "absent":
        open_channel(64, "KYME_CODEC_DEC_H264")
    if other == "idle":
        time.sleep(0.2)  # a channel just started counts for a moment, as if its input were coming
    if other == "stalled":
        for unit in units:
            kyme.setStreamData(stream, unit)
            if kyme.sendStreamToDecoder(64, stream, 200) == TIMEOUT:
                break
        else:
            pytest.fail("channel 64 took the whole clip without its pictures being received")
    before = len(os.listdir("/proc/self/task"))
    open_channel(0, "KYME_CODEC_DEC_H264", every_processor=every_processor)
    decoder = Decoder(0)
    for number, unit in enumerate(units):
        if number == len(units) // 2:
            gained = len(os.listdir("/proc/self/task")) - before
        kyme.setStreamData(stream, unit)
        decoder.send(stream)
    assert decoder.finish() == expected
    for channel in (0, 64) if other != "absent" else (0,):
        assert kyme.destroyDecoderChannel(channel) == OK
    return gained


@pytest.mark.parametrize("other, sharing", [("absent", 1), ("idle", 1), ("stalled", 2)])
def test_a_channel_takes_its_share_of_the_processors(media, clip, monkeypatch, other, sharing):
    monkeypatch.setenv("QUILLON_DECODE_THREADS", "1")
    single = threads_of_a_channel(clip, other)
    monkeypatch.delenv("QUILLON_DECODE_THREADS")
    automatic = threads_of_a_channel(clip, other)
    share = min(8, len(os.sched_getaffinity(0)) // sharing)
    # libavcodec starts threads of its own only for more than one.
    assert automatic - single == (share if share > 1 else 0)


def test_a_channel_made_with_enable_mc_decodes_on_every_processor_or_its_count(media, clip, monkeypatch):
    """Whatever the variable says and however busy the other channels are: the
    pass a scheduler knows to be the last one decoding, or a scheduler's own count."""
    monkeypatch.setenv("QUILLON_DECODE_THREADS", "1")
    single = threads_of_a_channel(clip, "stalled")
    every = threads_of_a_channel(clip, "stalled", every_processor=True)
    assert every - single == min(8, len(os.sched_getaffinity(0)))
    # A count in bits 8 to 15: that many threads, whatever the other channels and the variable say.
    assert threads_of_a_channel(clip, "stalled", every_processor=2 << 8) - single == 2
    monkeypatch.delenv("QUILLON_DECODE_THREADS")
    assert threads_of_a_channel(clip, "absent", every_processor=1 << 8) == single


def test_frame_threads_start_without_a_word_from_libavcodec(clip):
    """The channel's picture allocator serves frame threads at once and tells
    libavcodec so: a clean clip decoded on two threads leaves libav's log (its
    own callback, standard error, in a process without the package) empty."""
    program = (
        "from decoding import Decoder, kyme, nal_units, open_channel, quillon\n"
        "assert quillon.kycm.initialize() == 0 and kyme.systemInitialize() == 0\n"
        "open_channel(0, 'KYME_CODEC_DEC_H264')\n"
        f"print(len(Decoder(0).decode(nal_units({str(clip[0])!r}))))\n")
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, QUILLON_DECODE_THREADS="2",
               PYTHONPATH=os.pathsep.join([here, os.path.dirname(here)] + sys.path))
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == len(clip[1]) and run.stderr == ""
