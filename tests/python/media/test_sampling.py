"""Picture numbers, sampling passes, random access, batches and DLPack: every
picture they give is the plain pass's (number, time and pixels), numbers and
key pictures as PyAV counts and marks them, on Debian's samples and on clips
made with ffmpeg (open-GOP HEVC, H.264 with B-pictures)."""
import gc
import math
import random
import shutil
import subprocess

import numpy as np
import pytest

import quillon
import _quillon_testctl as testctl

av = pytest.importorskip("av")

SOURCE = ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "150"]
CLIPS = {
    "open_gop.mp4": ["-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
                     "log-level=error:keyint=40:min-keyint=40:open-gop=1:bframes=3:scenecut=0"],
    "open_gop.hevc": ["-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
                      "log-level=error:keyint=40:min-keyint=40:open-gop=1:bframes=3:scenecut=0"],
    "b_frames.mkv": ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-g", "30", "-bf", "3", "-sc_threshold", "0"],
    # As cameras encode: x265's fastest preset, two slices a picture, in each
    # group of four a P picture and a B picture the other two refer to.
    "camera.mkv": ["-pix_fmt", "yuv420p", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                   "log-level=error:keyint=40:min-keyint=40:bframes=3:slices=2:scenecut=0"],
}
FILES = ["open_gop.mp4", "b_frames.mkv", "cup.mp4", "Megamind.avi"]


@pytest.fixture(scope="module")
def files(tmp_path_factory, samples):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed")
    folder = tmp_path_factory.mktemp("sampling")
    for name, options in CLIPS.items():
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *SOURCE, *options, str(folder / name)], check=True)
    paths = {name: str(folder / name) for name in CLIPS}
    paths.update({name: str(samples / name) for name in ("cup.mp4", "Megamind.avi", "box.mp4")})
    return paths


def reference(path):
    """PyAV's pictures: (time in seconds, key_frame) in display order."""
    with av.open(path) as container:
        stream = container.streams.video[0]
        return [(float(frame.pts * stream.time_base), frame.key_frame) for frame in container.decode(stream)]


def plain(video, format="gray", size=(96, 72)):
    """number -> (pts, pixels) of a plain pass, checking that numbers count it."""
    pictures = {}
    for position, frame in enumerate(video.frames(format=format, size=size)):
        assert frame.number == position
        pictures[frame.number] = (frame.pts, frame.to_numpy())
    return pictures


def same(frames, pictures, format="gray"):
    """(numbers of `frames`), once each is checked against the plain pass."""
    numbers = []
    for frame in frames:
        pts, pixels = pictures[frame.number]
        assert frame.pts == pts and np.array_equal(frame.to_numpy(), pixels), frame.number
        numbers.append(frame.number)
    return numbers


@pytest.mark.parametrize("name", FILES)
def test_numbers_are_places_in_the_file_whatever_the_pass(files, name):
    expected = reference(files[name])
    with quillon.open(files[name]) as video:
        pictures = plain(video)
        assert len(video) == len(pictures) == len(expected)
        if not name.endswith(".avi"):  # AVI's stamps go back where PyAV's do; ours keep increasing
            assert [round(pts, 6) for pts, _ in pictures.values()] == [round(t, 6) for t, _ in expected]
        segments = video.segments(target_pictures=10)
        numbers = [n for s in segments for n in same(video.frames(segment=s, format="gray", size=(96, 72)),
                                                     pictures)]
        assert numbers == list(range(len(pictures)))
        for middle in (len(pictures) // 2, 41, 38):
            start = pictures[middle][0]
            assert same(video.frames(start=start, format="gray", size=(96, 72)), pictures) == list(
                range(middle, len(pictures)))


def test_raw_stream_and_photo_numbers(files, photos):
    with quillon.open(files["open_gop.hevc"]) as video:
        assert [f.number for f in video.frames(format="gray", size=(16, 16))] == list(range(150))
        assert [f.number for f in video.frames(format="gray", size=(16, 16), keyframes_only=True)] == [
            n for n, (_, key) in enumerate(reference(files["open_gop.mp4"])) if key]
    with quillon.open([str(photos), files["cup.mp4"]]) as both:
        frames = [(f.number, f.source) for f in both.frames(format="gray", size=(32, 32), step=5)]
        assert frames[:3] == [(0, frames[0][1]), (5, frames[1][1]), (10, frames[2][1])]
        assert len(both) == 11 + 217 and both[12].number == 1 and both[3].number == 3


@pytest.mark.parametrize("name", FILES)
def test_sampling_gives_the_plain_pass_pictures(files, name):
    expected = reference(files[name])
    with quillon.open(files[name]) as video:
        pictures = plain(video)
        count = len(pictures)
        sample = lambda **options: same(video.frames(format="gray", size=(96, 72), **options), pictures)  # noqa
        assert sample(step=7) == list(range(0, count, 7))
        keys = [n for n, (_, key) in enumerate(expected) if key]
        assert sample(keyframes_only=True) == keys and video.keyframes() == keys
        times = [pts for pts, _ in pictures.values()]
        every = sample(every=1.0)
        shown = [max(n for n, pts in enumerate(times) if pts <= times[0] + k + 1e-9)
                 for k in range(int(times[-1] - times[0]) + 1)]
        assert every == sorted(set(shown))
        start = times[count // 3]
        assert sample(step=4, start=start) == list(range(count // 3, count, 4))
        segment = video.segments(target_pictures=10)[-1]
        in_segment = same(video.frames(segment=segment, format="gray", size=(96, 72)), pictures)
        assert sample(step=3, segment=segment) == in_segment[::3]
        borrowed = [(f.number, f.to_numpy()) for f in video.frames(format="nv12", copy=False, step=9)]
        assert [n for n, _ in borrowed] == list(range(0, count, 9))
        frames = list(video.frames(format="rgb24", size=(64, 48), every=2.5))
        assert [f.index for f in frames] == list(range(len(frames)))
        # What a program sharing samples out is told, and gets segment by segment.
        assert video.sampled_numbers(step=7, keyframes_only=True) == keys[::7]
        if video.decoder == "host":  # its times are known only by decoding
            with pytest.raises(TypeError):
                video.sampled_numbers(every=1.0)
            wanted = list(range(0, count, 5))
        else:
            assert video.sampled_numbers(every=1.0) == every
            wanted = video.sampled_numbers(every=0.7, step=2)
            assert wanted == sample(every=0.7, step=2)
        by_segment = [same(video.frames(numbers=wanted + [1], segment=s, format="gray", size=(96, 72), copy=False),
                           pictures) for s in video.segments(target_pictures=10)]
        assert [n for found in by_segment for n in found] == sorted(set(wanted + [1]))


@pytest.mark.parametrize("name", FILES + ["box.mp4", "camera.mkv"])
def test_random_access_and_batches(files, name):
    with quillon.open(files[name]) as video:
        pictures = plain(video, size=None)
        count = len(pictures)
        chosen = random.Random(name).choices(range(count), k=12) + [0, count - 1, 5, 5, -1]
        batch = video.get_batch(chosen, format="gray")
        with quillon.open(files[name], device=[1, 0]) as shared:  # passes on die 1, batches on both
            assert shared.device == 1 and shared.devices == [1, 0] and video.devices == [0, 1]
            assert np.array_equal(shared.get_batch(chosen, format="gray").data, batch.data)
            assert np.array_equal(shared.get_batch(chosen, format="gray", device=0).data, batch.data)
        assert batch.data.shape == (len(chosen), video.height, video.width)
        assert batch.numbers == tuple(n % count for n in chosen)
        for row, number in zip(batch.data, batch.numbers):
            assert np.array_equal(row, pictures[number][1])
        assert batch.pts == tuple(pictures[n][0] for n in batch.numbers)
        assert video[-2].number == count - 2 and video[7].pts == pictures[7][0]
        with pytest.raises(IndexError):
            video[count]
        times = [pts for pts, _ in pictures.values()]
        asked = [times[0], times[0] + 1.0, (times[10] + times[11]) / 2, times[-1], times[-1] + 0.01]
        at = video.get_batch_at(asked, format="rgb_planar", size=(32, 24))
        assert at.data.shape == (5, 3, 24, 32)
        assert at.numbers == tuple(max(n for n, t in enumerate(times) if t <= s + 1e-9) for s in asked)
        with pytest.raises(IndexError):
            video.get_batch_at([times[0] - 1.0])


def decoded(run):
    """What the decoders' own counts say `run` decoded: their status's
    pictures decoded, summed over the channels made meanwhile."""
    testctl.reset()
    testctl.record()
    run()
    status, count = quillon.kyme.decStatus(), 0
    # The channels given packets (a channel made on the wrong die is given none, and goes).
    for channel in {args[0] for call, args in testctl.journal() if call == "kymeSendStreamToDecoder"}:
        assert quillon.kyme.getDecoderStatus(channel, status) == 0
        count += status.runningFrames
    return count


@pytest.mark.parametrize("name", ["b_frames.mkv", "open_gop.mp4"])
def test_sampling_decodes_less(files, name):
    """A key picture costs its own packet alone; a batch, the stretches
    between random-access points up to the pictures it wants."""
    with quillon.open(files[name]) as video:
        keys = []
        assert decoded(lambda: keys.extend(f.number for f in video.frames(format="gray", keyframes_only=True))) == len(
            keys) == len(video.keyframes()) > 2
    with quillon.open(files[name]) as video:
        # Stretches 0 and 3 (of 4 or 5), each up to a picture early in it, and
        # the decoder's read-ahead.
        assert decoded(lambda: video.get_batch([3, 95], format="gray")) < len(video) / 2


def test_hevc_pictures_decode_with_only_what_they_predict_from(files):
    """Each picture of an HEVC clip asked alone, and every third one, are
    the plain pass's, though the decoder is given only the pictures they
    predict from (and those pictures' own), as the slice headers say; the
    references it then misses on purpose are no damage."""
    path = files["camera.mkv"]
    before = quillon.codec_messages()
    with quillon.open(path) as video:
        pictures = plain(video, size=None)
        for number in range(len(video)):
            assert np.array_equal(video.get_batch([number], format="gray").data[0], pictures[number][1]), number
        thirds = list(video.frames(format="gray", step=3))
        assert same(thirds, pictures) == list(range(0, len(video), 3)) and not any(f.damaged for f in thirds)
    after = quillon.codec_messages()
    assert (after["errors"], after["concealed"]) == (before["errors"], before["concealed"])
    with quillon.open(path) as video:
        # Picture 35: the P pictures 0, 4, ..., 36, the B picture 34 of its
        # group and itself, 12 (11 counted when the pass ends before the
        # decoder reports picture 36); the pictures up to it that some
        # picture refers to are 19.
        assert decoded(lambda: video.get_batch([35], format="gray")) <= 12


def test_dlpack_shares_the_picture_and_keeps_it_alive(files):
    torch = pytest.importorskip("torch")
    with quillon.open(files["cup.mp4"]) as video:
        frame = video[3]
        expected = frame.to_numpy()
        array, tensor = np.from_dlpack(frame), torch.from_dlpack(frame)
        assert np.shares_memory(array, np.asarray(frame)) and tensor.data_ptr() == array.ctypes.data
        assert frame.__dlpack_device__() == (1, 0)
        del frame
        gc.collect()
        assert np.array_equal(tensor.numpy(), expected) and np.array_equal(array, expected)
        frames = video.frames(format="nv12", copy=False)
        first = next(frames)
        kept = torch.from_dlpack(first)
        next(frames)
        with pytest.raises(ValueError, match="copy=False"):
            np.from_dlpack(first)
        assert kept.shape == (720, 640)
        batch = video.get_batch([1, 2], format="rgb_planar")
        assert torch.from_dlpack(batch).data_ptr() == batch.data.ctypes.data and np.asarray(batch) is batch.data


def test_wrong_sampling_and_access_arguments(files):
    with quillon.open(files["cup.mp4"]) as video:
        for options in ({"step": 0}, {"step": 1.5}, {"every": 0}, {"every": math.nan}, {"step": True}):
            with pytest.raises(ValueError):
                video.frames(**options)
        with pytest.raises(TypeError):
            video.frames(keyframes_only="yes")
        with pytest.raises(TypeError):
            video.get_batch(["1"])
        with pytest.raises(TypeError):
            video.get_batch(3)
        with pytest.raises(IndexError):
            video.get_batch([0, -218])
        with pytest.raises(ValueError):
            video.get_batch_at([math.inf])
        with pytest.raises(ValueError):
            video.get_batch([1], format="yuv")
        assert video.get_batch([]).data.shape == (0,)
        for options, error in (({"device": []}, ValueError), ({"device": [0, 9]}, ValueError),
                               ({"device": ["0"]}, TypeError)):
            with pytest.raises(error):
                video.get_batch([1], **options)
            with pytest.raises(error):
                quillon.open(files["cup.mp4"], **options)
        with pytest.raises(IndexError):
            video.frames(numbers=[217])
        with pytest.raises(ValueError):
            video.frames(numbers=[1], step=2)
        with pytest.raises(ValueError):
            video.sampled_numbers(step=0)
        with pytest.raises(TypeError):
            video.segment_numbers((0, 10))
    with pytest.raises(ValueError, match="closed"):
        len(video)
