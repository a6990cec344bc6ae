"""The native demuxer with the values and sources a caller may hand it: times and time-outs outside what
its clocks hold, and sources of protocols whose options differ."""
import math
import random
import re
import select
import socket

import numpy as np
import pytest

from conftest import pattern_video
from quillon import _native


def test_times_and_time_outs_beyond_the_clocks_are_refused_by_name(tmp_path):
    clip = str(pattern_video(tmp_path / "clip.mp4", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "10"))
    for timeout in (math.inf, math.nan, 1e300):
        with pytest.raises(ValueError, match=f"timeout .*not {re.escape(repr(timeout))}$"):
            _native.Demuxer(clip, timeout=timeout)
    demuxer = _native.Demuxer(clip)
    for seconds in (math.nan, math.inf, -math.inf, 1e300, -1e300, 1e13):
        pytest.raises(ValueError, demuxer.seek, seconds).match(f"seconds .*not {re.escape(repr(seconds))}$")
    for seconds in (0.5, -1.0):  # within the clock: positioned as before
        demuxer.seek(seconds)
        assert demuxer.read()[2]  # a key packet first


def test_an_rtmp_source_connects_to_its_server_rather_than_listening():
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        url = f"rtmp://127.0.0.1:{server.getsockname()[1]}/x"
        with pytest.raises(OSError, match=re.escape(url)):
            _native.Demuxer(url, timeout=1)  # the server never answers the handshake
        assert select.select([server], [], [], 0)[0], "the demuxer never connected"


def test_damaged_hevc_headers_give_earlier_references_or_none(tmp_path):
    """The index reads each HEVC picture's slice headers for the pictures it
    predicts from: bytes changed anywhere in a stream leave them either
    unknown or naming only pictures before it in decode order."""
    clip = pattern_video(tmp_path / "clip.hevc", "-c:v", "libx265", "-x265-params", "log-level=error:bframes=3:keyint=12",
                         "-pix_fmt", "yuv420p")
    data = bytearray(clip.read_bytes())
    references = _native.Demuxer(str(clip)).index().references
    assert references is not None and len(references[1]) > 0
    rng = random.Random(5)
    for attempt in range(40):
        damaged = bytearray(data)
        for _ in range(1 + attempt % 8):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        path = tmp_path / f"damaged{attempt}.hevc"
        path.write_bytes(damaged)
        try:
            index = _native.Demuxer(str(path)).index()
        except OSError:
            continue
        if index.references is None:
            continue
        offsets, ordinals = index.references
        assert len(offsets) == index.packets + 1 and offsets[0] == 0 and (np.diff(offsets) >= 0).all()
        owners = np.repeat(np.arange(index.packets), np.diff(offsets))
        assert (ordinals >= 0).all() and (ordinals < owners).all()
