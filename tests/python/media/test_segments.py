"""Video.segments and frames(segment=...): segments decoded apart, on both dies,
give the pictures of one plain pass. Clips are made with ffmpeg: open GOPs,
whose leading pictures refer to the group before them."""
import dataclasses
import shutil
import subprocess
import types

import numpy as np
import pytest

import quillon
from conftest import Steer
from quillon import _native
from quillon.media import Segment

SOURCE = ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "60"]
X264_OPEN_GOP = ["-c:v", "libx264", "-bf", "3", "-x264-params", "open-gop=1:keyint=12"]
X265 = ["-c:v", "libx265", "-x265-params", "log-level=error:keyint=12"]
CLIPS = {
    "open_gop.mp4": ["-pix_fmt", "yuv420p", *X264_OPEN_GOP],
    "open_gop.h264": ["-pix_fmt", "yuv420p", *X264_OPEN_GOP],
    "hevc.mkv": ["-pix_fmt", "yuv420p", *X265],
    "hevc10.mp4": ["-pix_fmt", "yuv420p10le", *X265],
    "hevc.hevc": ["-pix_fmt", "yuv420p", *X265],
    "one_key.mkv": ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "3", "-g", "250"],
    "closed_gop.mp4": ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "3", "-g", "12"],
    "mpeg4.avi": ["-c:v", "mpeg4", "-g", "12"],
}


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed")
    folder = tmp_path_factory.mktemp("segments")
    for name, options in CLIPS.items():
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *SOURCE, *options, str(folder / name)], check=True)
    return {name: str(folder / name) for name in CLIPS}


def take(frames):
    return [(frame.index, frame.pts, frame.to_numpy()) for frame in frames]


def plain_and_segmented(path, target_pictures):
    """(frames of one plain pass, segments, frames of each segment decoded on
    dies 0 and 1 in turn), frames as (index, pts, pixels)."""
    with quillon.open(path) as video:
        plain = take(video.frames(format="nv12"))
        segments = video.segments(target_pictures)
        parts = [take(video.frames(format="nv12", device=n % 2, segment=s)) for n, s in enumerate(segments)]
    return plain, segments, parts


@pytest.mark.parametrize("name", ["open_gop.mp4", "open_gop.h264", "hevc.mkv", "hevc10.mp4", "hevc.hevc"])
def test_segments_put_together_give_the_plain_pass(clips, name):
    plain, segments, parts = plain_and_segmented(clips[name], target_pictures=1)
    assert len(segments) > 1 and [s.number for s in segments] == list(range(len(segments)))
    joined = [frame for part in parts for frame in part]
    assert len(joined) == len(plain) == 60 and all(np.array_equal(a[2], b[2]) for a, b in zip(joined, plain))
    assert all([index for index, _, _ in part] == list(range(len(part))) for part in parts)
    if not name.endswith((".h264", ".hevc")):
        assert [pts for _, pts, _ in joined] == [pts for _, pts, _ in plain]
    else:  # no time stamps: each segment's times increase from its first packet's place
        for segment, part in zip(segments, parts):
            times = [pts for _, pts, _ in part]
            assert times[0] == pytest.approx(segment.first_packet / 25) and times == sorted(set(times))

    # Neighbouring segments given as one, as the main job decodes them in one
    # pass, give what they give apart: the leading pictures between them too.
    for first, last in ((1, len(segments) - 2), (1, len(segments) - 1)):
        span = dataclasses.replace(segments[first], end_packet=segments[last].end_packet)
        with quillon.open(clips[name]) as video:
            together = take(video.frames(format="nv12", segment=span))
        apart = [frame for part in parts[first:last + 1] for frame in part]
        assert len(together) == len(apart) and all(np.array_equal(a[2], b[2]) for a, b in zip(together, apart))
        if not name.endswith((".h264", ".hevc")):
            assert [pts for _, pts, _ in together] == [pts for _, pts, _ in apart]
        # One pass asking for the next segments as it goes gives the same pictures.
        more = iter(segments[first + 1:last + 1])
        with quillon.open(clips[name]) as video:
            grown = take(video.segment_frames(segments[first], Steer(lambda: next(more, None)), format="nv12"))
        assert [index for index, _, _ in grown] == list(range(len(apart)))
        assert all(np.array_equal(a[2], b[2]) for a, b in zip(grown, apart))
        assert [pts for _, pts, _ in grown] == [pts for _, pts, _ in together]


def test_a_pass_goes_on_apart_where_it_cannot_go_on_as_one(clips, monkeypatch):
    """Where going on would change how a pass tells its pictures from the
    next segment's (the leading pictures at its end unknown), the next
    segment gets a pass of its own: the pictures are the same."""
    from quillon.media import passes as media_passes
    from quillon.media import segments as media

    plain, segments, _ = plain_and_segmented(clips["open_gop.mp4"], target_pictures=1)
    unknown = segments[2].end_packet

    class Unknown(media._PassEnd):
        def __init__(self, keys, last_leading, end):
            super().__init__(keys, last_leading, end)
            self.known = self.known and end != unknown

    monkeypatch.setattr(media_passes, "_PassEnd", Unknown)
    passes = []
    decode_from = media_passes.SegmentPass._decode_from
    monkeypatch.setattr(media_passes.SegmentPass, "_decode_from", lambda *args, **kw: passes.append(args[3]) or
                        decode_from(*args, **kw))
    asked = []

    def following():
        asked.append(len(asked) + 1)
        return segments[asked[-1]] if asked[-1] < len(segments) else None

    with quillon.open(clips["open_gop.mp4"]) as video:
        grown = take(video.segment_frames(segments[0], Steer(following), format="nv12"))
        with pytest.raises(ValueError, match="does not follow"):
            list(video.segment_frames(segments[0], Steer(lambda: segments[2])))
    assert asked == list(range(1, len(segments))) and passes[:2] == [0, segments[2].first_packet]
    assert len(grown) == 60 and all(np.array_equal(a[2], b[2]) for a, b in zip(grown, plain))
    assert [pts for _, pts, _ in grown] == [pts for _, pts, _ in plain]


def test_random_access_points_merge_up_to_the_target(clips):
    with quillon.open([clips["open_gop.mp4"], clips["one_key.mkv"]]) as video:
        keys = [0, 9, 21, 36, 48]  # where x264 put its I pictures, in decode order
        merged = video.segments(target_pictures=20)
        whole = video.segments()
    first = [s for s in merged if s.part == 0]
    assert [(s.first_packet, s.end_packet, s.pictures) for s in first] == [(0, 21, 21), (21, None, 39)]
    assert all(s.first_packet in keys for s in first)
    assert [(s.part, s.first_packet, s.end_packet, s.pictures) for s in whole] == [(0, 0, None, 60), (1, 0, None, 60)]
    assert [s.source for s in whole] == [clips["open_gop.mp4"], clips["one_key.mkv"]]
    plain, segments, parts = plain_and_segmented(clips["one_key.mkv"], target_pictures=1)
    assert len(segments) == 1 and all(np.array_equal(a[2], b[2]) for a, b in zip(parts[0], plain))


def test_a_file_opened_again_is_cut_without_reading_its_packets_again(clips, tmp_path, monkeypatch):
    """Openings of one file share its packet index while the file stays as
    it was; a file rewritten in place is read and cut afresh."""
    reads, opened = [], _native.Demuxer

    class Counting:
        def __init__(self, *args):
            self.demuxer = opened(*args)

        def index(self):
            reads.append(1)
            return self.demuxer.index()

        def __getattr__(self, name):
            return getattr(self.demuxer, name)

    from quillon.media import container  # where a video's demuxers are opened

    monkeypatch.setattr(container, "Demuxer", Counting)
    path = tmp_path / "clip.mp4"
    shutil.copyfile(clips["open_gop.mp4"], path)
    cuts = []
    for _ in range(3):
        with quillon.open(str(path)) as video:
            cuts.append([(s.first_packet, s.end_packet) for s in video.segments(1)])
    assert len(reads) == 1 and cuts[0] == cuts[1] == cuts[2] and len(cuts[0]) > 1
    shutil.copyfile(clips["one_key.mkv"], path)  # same name, other bytes
    with quillon.open(str(path)) as video:
        assert [(s.first_packet, s.end_packet) for s in video.segments(1)] == [(0, None)]
    assert len(reads) == 2


def test_host_decoded_videos_and_photos(clips, tmp_path):
    from PIL import Image

    for number in range(3):
        Image.new("RGB", (64, 48), (80 * number, 40, 200)).save(tmp_path / f"{number}.jpg")
    with quillon.open([clips["mpeg4.avi"], str(tmp_path)]) as video:
        segments = video.segments(target_pictures=1)
        assert [(s.part, s.first_packet, s.end_packet) for s in segments] == [(0, 0, None), (1, 0, 1), (1, 1, 2),
                                                                                (1, 2, None)]
        plain = [(f.pts, f.to_numpy()) for f in video.frames()]
        joined = [(f.pts, f.to_numpy()) for s in segments for f in video.frames(segment=s, device=s.number % 2)]
    assert [pts for pts, _ in joined] == [pts for pts, _ in plain] and len(plain) == 63
    assert all(np.array_equal(a, b) for (_, a), (_, b) in zip(joined, plain))


@pytest.mark.parametrize("name, changes", [("closed_gop.mp4", True), ("open_gop.mp4", False), ("hevc.mkv", False)])
@pytest.mark.parametrize("wide_from", [1, 3])
def test_a_pass_that_widens_gives_the_pictures_it_would_have(clips, monkeypatch, name, changes, wide_from):
    """Asked from the start, or at the third ask (going on into a segment): the
    pass decodes on a channel with every processor's threads, from an IDR
    picture without leading pictures only (the closed GOPs; the open-GOP
    x264 clip has such pictures that are not IDR ones, x265 CRA pictures),
    the decoder before finishing its stream meanwhile."""
    from quillon.media import container

    made, asked, channel = [], [], container._Channel
    monkeypatch.setattr(container, "_Channel", lambda *args, **kw: made.append(kw.get("wide", False)) or
                        channel(*args, **kw))

    def widen():
        asked.append(len(asked) + 1)
        return asked[-1] >= wide_from

    plain, segments, _ = plain_and_segmented(clips[name], target_pictures=1)
    more = iter(segments[1:])
    made.clear()
    with quillon.open(clips[name]) as video:
        grown = take(video.segment_frames(segments[0], Steer(lambda: next(more, None), widen), format="nv12",
                                          device=1))
        for bad in (True, lambda: True, types.SimpleNamespace(widen=lambda: True)):
            pytest.raises(TypeError, video.segment_frames, segments[0], bad).match("schedule")
    assert [index for index, _, _ in grown] == list(range(60))
    assert [pts for _, pts, _ in grown] == [pts for _, pts, _ in plain]
    assert all(np.array_equal(a[2], b[2]) for a, b in zip(grown, plain))
    assert made == ([True] if wide_from == 1 else [False, True] if changes else [False])
    assert len(asked) == (1 if wide_from == 1 or not changes else 3)


def test_segments_of_another_video_or_bad_arguments_are_refused(clips):
    with quillon.open(clips["open_gop.mp4"]) as video:
        good = video.segments(target_pictures=1)[1]
        for bad in (Segment(good.source, 0, 1, 10, 21, 11), Segment(good.source, 0, 1, 9, 5, 1),
                    Segment("other.mp4", 0, 1, 9, 21, 12), Segment(good.source, 1, 0, 0, None, 60)):
            pytest.raises(ValueError, video.frames, segment=bad).match("segment")
        pytest.raises(ValueError, video.frames, segment=good, start=1.0).match("not both")
        pytest.raises(TypeError, video.frames, segment=(0, 9))
        pytest.raises(TypeError, video.frames, segment=good, following=lambda: None)
        pytest.raises(ValueError, list, video.segment_frames(good, Steer(lambda: "segment 2"))).match("does not follow")
        for threads in (0, 65, 2.0, "2"):  # a schedule's count of decoder threads
            steer = types.SimpleNamespace(following=lambda: None, widen=lambda: False, threads=lambda: threads)
            pytest.raises(ValueError, list, video.segment_frames(good, steer)).match("threads")
        for target in (0, True, 1.5):
            pytest.raises(ValueError, video.segments, target).match("target_pictures")


def test_a_damaged_random_access_picture_costs_no_other_picture(clips, tmp_path):
    # The picture of the second random-access point does not decode: the
    # segment before it decodes on to the third, the segment it starts takes
    # over from there (the third one's leading pictures).
    data = bytearray(open(clips["open_gop.mp4"], "rb").read())
    demuxer = _native.Demuxer(clips["open_gop.mp4"])
    index = demuxer.index()
    position = int(index.key_positions[1])
    damaged = int(index.key_pts[1]) * demuxer.time_base[0] / demuxer.time_base[1]
    data[position + 100:position + 4000:7] = bytes(b ^ 0x5A for b in data[position + 100:position + 4000:7])
    (tmp_path / "damaged.mp4").write_bytes(data)
    plain, _, parts = plain_and_segmented(str(tmp_path / "damaged.mp4"), target_pictures=1)
    joined = [frame for part in parts for frame in part]
    # Whether a decoder conceals the damaged picture or drops it depends on
    # its threads: every other picture of the plain pass is there, once, in
    # display order.
    times = [pts for _, pts, _ in joined]
    assert times == sorted(set(times)) and {pts for _, pts, _ in plain} - {damaged} <= set(times)
