"""Decoder channels: life cycle codes, end of stream, time-outs, back-pressure, two threads and two devices,
corrupt input, pictures released or destroyed under their frames, and pictures held unread across a device reset."""
import hashlib
import threading

import numpy as np
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import pattern_video
from decoding import (EOS, OK, STREAMS, TIMEOUT, UNKNOWN_FRAME, WRONG_STATE, Decoder, chunks, encode, host_options,
                      kyme, nal_units, open_channel, parameters, reference)

H264 = "KYME_CODEC_DEC_H264"
NOT_INITIALIZED, INVALID_CHANNEL, BUSY = 402002, 402004, 402005


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = encode(tmp_path_factory.mktemp("clip") / "clip.h264", "h264")
    return path, reference(path, "yuv420p")


def units(path):
    return [np.array(s) for s in nal_units(path)]


def send_units(channel, arrays, timeout=1000):
    stream = kyme.stream()
    for array in arrays:
        kyme.setStreamData(stream, array)
        assert kyme.sendStreamToDecoder(channel, stream, timeout) == OK


def test_life_cycle_codes(runtime):
    kyme.systemUninitialize()
    assert kyme.createDecoderChannel(parameters(H264), 0) == NOT_INITIALIZED and kyme.systemInitialize() == OK
    try:
        free = kyme.getDecoderAvailableChannels()
        assert free == 128  # two devices of max(32 video, 64 JPEG) channel numbers
        assert kyme.createDecoderChannel(parameters(H264), 32) == INVALID_CHANNEL  # JPEG-only number
        assert kyme.createDecoderChannel(parameters("KYME_CODEC_DEC_JPEG"), 32) == OK
        assert kyme.createDecoderChannel(parameters(H264), 0) == OK
        assert kyme.createDecoderChannel(parameters(H264), 0) == BUSY
        assert kyme.createDecoderChannel(parameters(H264), 128) == INVALID_CHANNEL
        assert kyme.getDecoderAvailableChannels() == free - 2
        status = kyme.decStatus()
        assert kyme.getDecoderStatus(0, status) == OK and status.state == kyme.state.KYME_ST_READY
        assert kyme.sendStreamToDecoder(0, kyme.stream(), 0) == WRONG_STATE
        assert kyme.receiveFrameFromDecoder(0, kyme.frame(), kyme.decOutputOptions(), 0) == WRONG_STATE
        assert kyme.stopDecoder(0) == WRONG_STATE
        assert kyme.startDecoder(0) == OK and kyme.startDecoder(0) == WRONG_STATE
        kyme.getDecoderStatus(0, status)
        assert status.state == kyme.state.KYME_ST_RUNNING and status.hardwareID.dieID == 0
        assert kyme.getStreamInfoFromDecoder(0, kyme.decStreamInfo()) == 401001  # nothing decoded yet
        assert kyme.receiveFrameFromDecoder(0, kyme.frame(), kyme.decOutputOptions(), 20) == TIMEOUT
        assert kyme.stopDecoder(0) == OK
        kyme.getDecoderStatus(0, status)
        assert status.state == kyme.state.KYME_ST_STOPPED
        assert kyme.decReleaseFrame(0, kyme.frame(), 0) == UNKNOWN_FRAME
        assert kyme.destroyDecoderChannel(0) == OK and kyme.destroyDecoderChannel(0) == INVALID_CHANNEL
        assert kyme.startDecoder(0) == INVALID_CHANNEL
    finally:
        assert kyme.systemUninitialize() == OK  # destroys channel 32 as well
    assert kyme.systemInitialize() == OK and kyme.getDecoderAvailableChannels() == 128
    kyme.systemUninitialize()


def test_end_of_stream_time_outs_and_reset(media, clip, tmp_path):
    path, expected = clip
    open_channel(0, H264)
    decoder = Decoder(0)
    arrays = units(path)
    assert decoder.decode(chunks(np.concatenate(arrays))) == expected
    assert kyme.receiveFrameFromDecoder(0, kyme.frame(), kyme.decOutputOptions(), 0) == EOS
    assert kyme.sendStreamToDecoder(0, kyme.stream(), 0) == EOS  # until reset
    status = kyme.decStatus()
    kyme.getDecoderStatus(0, status)
    assert (status.runningFrames, status.bufferedFrames, status.droppedFrames) == (30, 0, 0)
    info = kyme.decStreamInfo()
    assert kyme.getStreamInfoFromDecoder(0, info) == OK
    assert (info.width, info.height, info.fps, info.pixelSize) == (322, 178, 25, 322 * 178 + 2 * 161 * 89)
    assert kyme.resetDecoder(0) == OK and decoder.decode(nal_units(path)) == expected
    # A decoder is reused, not made anew: reset in the middle of a stream, it
    # decodes another one, of another size, as a new channel would.
    assert kyme.resetDecoder(0) == OK
    for array in units(path)[:20]:
        decoder.send(array)
    assert kyme.resetDecoder(0) == OK
    other = pattern_video(tmp_path / "other.h264", *STREAMS["h264"][1], "-f", "h264", size="160x96")
    assert decoder.decode(nal_units(other)) == reference(other, "yuv420p")


def test_unreleased_pictures_stall_the_decoder_until_released(media, clip):
    path, expected = clip
    open_channel(0, H264, extra=2)  # a pool of 4 + 2 pictures
    stream, held, code = kyme.stream(), [], OK
    arrays = iter(units(path))
    for array in arrays:  # never receives: the input queue and then the send time out
        kyme.setStreamData(stream, array)
        if (code := kyme.sendStreamToDecoder(0, stream, 200)) != OK:
            break
    assert code == TIMEOUT
    while (frame := kyme.frame()) and kyme.receiveFrameFromDecoder(0, frame, kyme.decOutputOptions(), 200) == OK:
        held.append(frame)
    assert len(held) == 6  # the pool, no more
    decoder = Decoder(0)
    for frame in held:
        assert kyme.transferFrameFromDecoder(0, frame, True) == OK
        decoder.digests.append(hashlib.md5(memoryview(frame)).hexdigest())
        assert kyme.decReleaseFrame(0, frame, 0) == OK and kyme.decReleaseFrame(0, frame, 0) == UNKNOWN_FRAME
    decoder.send(stream)
    for array in arrays:
        decoder.send(array)
    assert decoder.finish() == expected


def test_a_waiting_caller_gets_the_pictures_of_a_decoder_that_stops_short_of_a_run(media, clip):
    """A busy decoder hands its pictures over a few at a time; one that stops
    with fewer ready (its input used up, its pool full) still wakes the caller
    waiting for them, who would otherwise sleep out a minute's time-out."""
    path, _ = clip
    arrays = units(path)
    open_channel(0, H264, extra=3)  # a pool of 4 + 3 pictures: a run of 4, then 1 more
    held, codes = [], []

    def wait_for(count):
        while len(held) < count:
            frame = kyme.frame()
            code = kyme.receiveFrameFromDecoder(0, frame, kyme.decOutputOptions(), 60000)
            if code != OK:
                codes.append(code)
                return
            held.append(frame)  # never released: the pool fills

    waiter = threading.Thread(target=wait_for, args=(2,))
    waiter.start()
    send_units(0, arrays[:20])  # two pictures come out of these, then the input is used up
    waiter.join(20)
    assert not waiter.is_alive() and (len(held), codes) == (2, [])
    waiter = threading.Thread(target=wait_for, args=(7,))
    waiter.start()
    stream = kyme.stream()
    for array in arrays[20:]:  # until the decoder stops with its pool full
        kyme.setStreamData(stream, array)
        if kyme.sendStreamToDecoder(0, stream, 200) != OK:
            break
    waiter.join(20)
    alive = waiter.is_alive()
    assert kyme.stopDecoder(0) == OK  # wakes a waiter left behind
    waiter.join()
    assert not alive and (len(held), codes) == (7, [])


def test_one_thread_sends_while_another_receives(media, clip):
    path, expected = clip
    arrays = units(path)
    results = {}

    def receive(channel):
        decoder = Decoder(channel)
        results[channel] = (decoder.drain(10000), decoder.digests)

    # Channels 0 and 64 are on the two devices; the receivers block in the
    # library, so the senders only progress if the lock is released.
    threads = [threading.Thread(target=receive, args=(c,)) for c in (0, 64)]
    for channel in (0, 64):
        open_channel(channel, H264)
    for t in threads:
        t.start()
    for channel in (0, 64):
        send_units(channel, arrays, 0xFFFFFFFF)
        send_units(channel, [np.zeros(0, np.uint8)])
    for t in threads:
        t.join(60)
    assert results == {0: (EOS, expected), 64: (EOS, expected)}
    status = kyme.decStatus()
    kyme.getDecoderStatus(64, status)
    assert status.hardwareID.dieID == 1


@pytest.mark.parametrize("damage", ["truncated", "bit-flipped"])
def test_corrupt_input_is_dropped_and_decoding_resumes(media, clip, damage):
    path, expected = clip
    arrays = units(path)
    slices = [i for i, a in enumerate(arrays) if a[4 if a[2] == 0 else 3] & 0x1F in (1, 5)]
    broken = slices[len(slices) // 5]  # in the first group of pictures (12 pictures of 3 slices)
    a = arrays[broken].copy()
    if damage == "truncated":
        a = a[:len(a) // 2]
    else:
        a[len(a) // 3:] ^= 0x5A
    arrays[broken] = a
    open_channel(0, H264)
    digests = Decoder(0).decode(arrays)
    # The later groups of pictures decode exactly as before.
    assert digests[-12:] == expected[-12:]
    status = kyme.decStatus()
    kyme.getDecoderStatus(0, status)
    assert status.runningFrames == len(digests) and status.runningFrames + status.droppedFrames >= 29


def test_views_of_released_or_destroyed_pictures_raise(media, clip):
    path, _ = clip
    open_channel(0, H264, extra=30)  # room for every picture
    send_units(0, units(path) + [np.zeros(0, np.uint8)])
    first, second = kyme.frame(), kyme.frame()
    assert kyme.receiveFrameFromDecoder(0, first, host_options(), 5000) == OK
    assert kyme.receiveFrameFromDecoder(0, second, kyme.decOutputOptions(), 5000) == OK
    assert kyme.transferFrameFromDecoder(0, second, False) == OK
    assert [len(second.data), len(second.busAddress), len(second.stride)] == [3, 3, 3]
    assert len(memoryview(first)) == first.dataSize and len(memoryview(second)) == second.dataSize
    assert kyme.decReleaseFrame(0, first, 0) == OK
    pytest.raises(RuntimeError, memoryview, first)
    assert kyme.destroyDecoderChannel(0) == OK
    pytest.raises(RuntimeError, memoryview, second)


def test_destroy_returns_the_memory_of_pictures_never_released(media, clip):
    path, _ = clip
    before = testctl.device_memory_used(0)
    open_channel(0, H264, extra=30)
    send_units(0, units(path) + [np.zeros(0, np.uint8)])
    for _ in range(30):  # each frame object is dropped with its picture unreleased
        assert kyme.receiveFrameFromDecoder(0, kyme.frame(), host_options(), 5000) == OK
    assert testctl.device_memory_used(0) >= before + 30 * (322 * 178 * 3 // 2)
    assert kyme.destroyDecoderChannel(0) == OK and testctl.device_memory_used(0) == before


@pytest.mark.parametrize("release", ["reset", "uninitialize"])
def test_pictures_held_unread_across_a_device_reset_are_refused(media, clip, release):
    # An unread picture's bytes wait in libavcodec's planes; the reset takes them with its block.
    path, _ = clip
    open_channel(0, H264, "KYME_PIX_FMT_NV12", extra=30)
    send_units(0, units(path) + [np.zeros(0, np.uint8)])
    held = [kyme.frame() for _ in range(3)]
    for frame in held:
        assert kyme.receiveFrameFromDecoder(0, frame, kyme.decOutputOptions(), 5000) == OK
    kycm = quillon.kycm
    if release == "reset":
        assert kycm.resetDevice(0) == OK
    else:
        assert kycm.uninitialize() == OK and kycm.initialize() == OK
    assert kyme.transferFrameFromDecoder(0, held[0], False) == UNKNOWN_FRAME
    assert kyme.decReleaseFrame(0, held[1], 0) in (OK, UNKNOWN_FRAME)
    # The channel decodes the next stream into new memory, every picture whole.
    assert kyme.resetDecoder(0) == OK and Decoder(0).decode(units(path)) == reference(path, "nv12")
