"""Frames past their pass, closing from anywhere, memory on the video's own die,
sources that are not plain files, photo folders of every picture format, damaged
pictures and turned videos: against Pillow and ffmpeg on Debian's sample media."""
import contextlib
import os
import shutil
import subprocess
import threading

import numpy as np
import pytest

import quillon
from conftest import Steer, pattern_video, pillow_rgb
from quillon import kyme

LABELME = "labelme/semantic_segmentation/data_dataset_voc"


def used_on(device):
    """Device memory in use on a die, as the management library measures it."""
    found = quillon.devices()[device]
    return found.memory_total - found.memory_free


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    return str(pattern_video(tmp_path_factory.mktemp("frames") / "clip.mp4", "-pix_fmt", "yuv420p", "-c:v",
                             "libx264", "-g", "10", frames=30))


def refuses(frame):
    for use in (frame.to_numpy, lambda: frame.device_address):
        pytest.raises(ValueError, use).match("copy=False|closed")
    return True


@pytest.mark.parametrize("kind", ["card", "segment", "host"])
def test_a_borrowed_frame_equals_a_copy_until_the_next_and_refuses_past_its_pass(clip, tmp_path, kind):
    source = clip if kind != "host" else str(pattern_video(tmp_path / "clip.avi", "-c:v", "mpeg4", frames=12))
    with quillon.open(source) as video:
        options = {"format": "nv12" if kind != "host" else "rgb24", "copy": False}
        if kind == "segment":
            options["segment"] = video.segments(target_pictures=5)[0]
        for kept in video.frames(**options):
            break
        assert refuses(kept)
        with pytest.raises(KeyError):
            for kept in video.frames(**options):
                raise KeyError("stop")
        assert refuses(kept)
        borrowed, copies = video.frames(**options), video.frames(**dict(options, copy=True))
        assert all(np.array_equal(a.to_numpy(), b.to_numpy()) for a, b in zip(borrowed, copies))
        frames = video.frames(**options)
        kept = next(frames)
        assert kept.to_numpy().size > 0 and next(frames) and refuses(kept)  # until the next picture
        kept = next(frames)
    assert refuses(kept)  # close() ended the pass that was still suspended


def test_close_from_another_thread_or_a_callback_ends_the_passes_and_frees_memory(clip):
    baseline = used_on(0)
    video = quillon.open(clip)
    channels = kyme.getDecoderAvailableChannels()
    segments = video.segments(target_pictures=10)
    inside, release, outcome = threading.Event(), threading.Event(), {}

    def following():  # the pass is running, in the reader's thread, while the test's thread closes the video
        inside.set()
        release.wait(10)
        return None

    def reader():
        try:
            outcome["pictures"] = len(list(video.segment_frames(segments[0], Steer(following), size=(64, 48))))
        except BaseException as error:  # noqa: B902 - reported to the test's thread
            outcome["error"] = error

    thread = threading.Thread(target=reader)
    thread.start()
    assert inside.wait(10)
    video.close()
    release.set()
    thread.join(10)
    assert "error" not in outcome and outcome["pictures"] <= segments[0].pictures
    assert used_on(0) == baseline and kyme.getDecoderAvailableChannels() == channels

    video = quillon.open(clip)
    segments = video.segments(target_pictures=10)
    assert kyme.getDecoderAvailableChannels() == channels

    def closing():
        video.close()  # from inside the pass
        return segments[1]
    pictures = list(video.segment_frames(segments[0], Steer(closing)))
    assert len(pictures) <= segments[0].pictures
    assert used_on(0) == baseline and kyme.getDecoderAvailableChannels() == channels
    pytest.raises(ValueError, video.frames).match("closed")


def test_a_pass_stopped_while_its_decoder_is_full_leaves_the_decoder_whole(tmp_path):
    """A consumer that stops while the decoder cannot yet take the end of
    the stream: the end is sent as the decoder is readied for the next pass,
    not waited for, and that pass reuses it."""
    import _quillon_testctl as testctl

    small = pattern_video(tmp_path / "small.mp4", "-c:v", "libx264", "-pix_fmt", "yuv420p", frames=12)
    with quillon.open(str(small)) as video:
        packets = len(video)  # each goes into the decoder's input at once; the end is refused
        testctl.reset()
        testctl.arm_failure("kymeSendStreamToDecoder", int(quillon.errors.Code.KYME_TIMEOUT), count=-1,
                            after=packets)
        try:
            (whole,) = video.segments()
            first = video.frames(format="gray", segment=whole)
            for _frame in first:
                testctl.reset()
                break
            first.close()
            testctl.record()
            assert len(list(video.frames(format="gray", segment=whole))) == packets
            assert "kymeCreateDecoderChannel" not in [call for call, _ in testctl.journal()]
        finally:
            testctl.reset()


def test_a_video_allocates_on_its_own_die_while_a_model_runs_on_another(clip, tmp_path):
    if len(quillon.devices()) < 2:
        pytest.skip("needs two dies")
    from quillon.pipeline import demo

    path, zeros = str(demo.builtin_model(tmp_path)), None
    with contextlib.ExitStack() as stack:
        video = stack.enter_context(quillon.open(clip, device=1))
        before, kept, thumbnails = used_on(1), [], []
        for frame in video.frames("rgb24", size=(160, 120)):
            if zeros is None:  # a model made and run on die 0 between the pictures: die 0 is now current
                model = stack.enter_context(quillon.Model(path, device=0))
                zeros = np.zeros(model.inputs[0].shape, np.float32)
                model(zeros)
                on_die_0 = used_on(0)
            model(zeros)
            kept.append(frame)
            thumbnails.append(frame.to_numpy("bgr24", (80, 60)))
        assert len(kept) == 30 and {frame.device for frame in kept} == {1}
        assert used_on(0) == on_die_0 and used_on(1) >= before + 30 * 160 * 120 * 3
        assert np.array_equal(thumbnails[5], kept[5].to_numpy("bgr24", (80, 60)))


def test_a_fifo_source_gives_every_picture(clip, tmp_path):
    fifo = tmp_path / "stream.ts"
    os.mkfifo(fifo)
    stream = pattern_video("-", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "mpegts", frames=30)
    outcome = {}

    def writer():
        try:
            with open(fifo, "wb") as pipe:
                pipe.write(stream)
            outcome["written"] = True
        except OSError as error:
            outcome["error"] = error

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    with quillon.open(str(fifo)) as video:
        pictures = [frame.to_numpy() for frame in video.frames("rgb24")]
    thread.join(10)
    assert outcome == {"written": True} and len(pictures) == 30
    (tmp_path / "stream-file.ts").write_bytes(stream)
    with quillon.open(str(tmp_path / "stream-file.ts")) as video:
        assert all(np.array_equal(frame.to_numpy(), pixels) for frame, pixels in zip(video.frames("rgb24"), pictures))


@pytest.fixture(scope="module")
def folder(samples, tmp_path_factory):
    """Debian's labelme photos: JPEG files, a PNG, the same pictures as BMP, WebP, TIFF and GIF, a JPEG cut to a
    third, a link in a loop named like a photo and a text file."""
    from PIL import Image

    folder = tmp_path_factory.mktemp("pictures")
    jpegs = sorted((samples / LABELME / "JPEGImages").glob("*.jpg"))
    for path in jpegs:
        shutil.copy(path, folder / path.name)
    shutil.copy(samples / LABELME / "SegmentationClassPNG" / "2011_000003.png", folder / "mask.png")
    with Image.open(jpegs[0]) as image:
        image.save(folder / "p.bmp")
        image.save(folder / "p.webp", lossless=True)
        image.save(folder / "p.tiff")
        image.convert("P").save(folder / "p.gif")
    data = (folder / "2011_000006.jpg").read_bytes()
    (folder / "cut.jpg").write_bytes(data[:len(data) // 3])
    os.symlink("loop.jpg", folder / "loop.jpg")
    (folder / "notes.txt").write_text("not a picture")
    return folder


def test_a_folder_reads_every_picture_format_and_flags_the_damaged_one(folder):
    with quillon.open(str(folder)) as video:
        frames = [(frame.source, frame.damaged, frame.to_numpy()) for frame in video.frames("rgb24")]
    names = sorted(name for name in os.listdir(folder) if name not in ("loop.jpg", "notes.txt"))
    assert [os.path.basename(source) for source, _, _ in frames] == names
    assert [os.path.basename(source) for source, damaged, _ in frames if damaged] == ["cut.jpg"]
    for source, damaged, pixels in frames:
        if damaged:  # Pillow refuses it; its top rows are those of the whole file
            whole = pillow_rgb(folder / "2011_000006.jpg")
            rows = pixels.shape[0] // 8
            assert pixels.shape == whole.shape and np.abs(pixels[:rows].astype(int) - whole[:rows]).max() <= 1
            continue
        expected = pillow_rgb(source)
        tolerance = 1 if source.endswith(".jpg") else 0
        assert pixels.shape == expected.shape and np.abs(pixels.astype(int) - expected).max() <= tolerance, source
    pytest.raises(ValueError, video.frames).match("closed")


def turned_copy(samples, folder, degrees):
    """cup.mp4's first pictures in a MOV whose display matrix turns them `degrees` counter-clockwise."""
    path = folder / f"rot{degrees}.mov"
    subprocess.run(["ffmpeg", "-v", "error", "-i", str(samples / "cup.mp4"), "-frames:v", "8", "-an", "-c", "copy",
                    "-metadata:s:v", f"rotate={degrees}", str(path)], check=True)
    return str(path)


@pytest.fixture(scope="module")
def turned(samples, tmp_path_factory):
    return turned_copy(samples, tmp_path_factory.mktemp("turned"), 90)


def ffmpeg_pictures(path, pix_fmt, width, height):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"],
                         check=True, capture_output=True).stdout
    rows = height * 3 // 2 if pix_fmt == "nv12" else height
    return np.frombuffer(raw, np.uint8).reshape(-1, rows, width, *(() if pix_fmt == "nv12" else (3,)))


def test_a_turned_video_comes_out_upright_as_ffmpeg_shows_it(turned):
    with quillon.open(turned) as video:
        assert (video.rotation, video.width, video.height) == (90, 480, 640)
        nv12 = [frame.to_numpy() for frame in video.frames("nv12")]
        rgb = [frame.to_numpy() for frame in video.frames("rgb24")]
        small = next(video.frames("rgb24", size=(240, 320))).to_numpy()
        segment = video.segments()[0]
        assert np.array_equal(next(video.frames("nv12", segment=segment)).to_numpy(), nv12[0])
    assert np.array_equal(np.stack(nv12), ffmpeg_pictures(turned, "nv12", 480, 640))  # the card decodes exactly
    expected = ffmpeg_pictures(turned, "rgb24", 480, 640)
    assert len(rgb) == len(expected) == 8
    for pixels, reference in zip(rgb, expected):
        assert np.mean(np.abs(pixels.astype(int) - reference) > 3) < 1e-3
    assert small.shape == (320, 240, 3)
    with quillon.open(turned, autorotate=False) as video:
        assert (video.rotation, video.width, video.height) == (90, 640, 480)
        coded = next(video.frames("rgb24")).to_numpy()
    assert np.array_equal(np.rot90(coded), rgb[0])  # a quarter turn counter-clockwise
    with pytest.raises(TypeError):
        quillon.open(turned, autorotate="no")  # type: ignore[arg-type]


def test_a_half_turned_video_is_turned_on_the_die_as_ffmpeg_turns_it(samples, tmp_path):
    path = turned_copy(samples, tmp_path, 180)
    with quillon.open(path) as video:
        assert (video.rotation, video.width, video.height) == (180, 640, 480)
        nv12 = np.stack([frame.to_numpy() for frame in video.frames("nv12")])
        gray = next(video.frames("gray", size=(320, 240))).to_numpy()
    assert np.array_equal(nv12, ffmpeg_pictures(path, "nv12", 640, 480)) and gray.shape == (240, 320)


def test_a_damaged_picture_decoded_on_the_host_is_flagged_and_kept_as_pyav_gives_it(tmp_path):
    av = pytest.importorskip("av")
    av.logging.restore_default_callback()  # see test_open.py
    data = bytearray(pattern_video("-", "-c:v", "mpeg4", "-g", "50", "-bf", "0", "-f", "avi", frames=50))
    for position in range(len(data) // 2, len(data) // 2 + 300, 5):  # a burst of errors in one picture
        data[position] ^= 0x55
    (tmp_path / "bad.avi").write_bytes(bytes(data))
    with quillon.open(str(tmp_path / "bad.avi")) as video:
        frames = [(frame.damaged, frame.to_numpy()) for frame in video.frames("rgb24")]
    with av.open(str(tmp_path / "bad.avi")) as container:
        expected = [frame.to_ndarray(format="rgb24") for frame in container.decode(video=0)]
    assert len(frames) == len(expected) == 50 and 0 < sum(damaged for damaged, _ in frames) < 5
    # How a decoder conceals damage depends on its threads' timing: the pictures before it are compared.
    first = next(number for number, (damaged, _) in enumerate(frames) if damaged)
    assert all(np.array_equal(pixels, reference) for (_, pixels), reference in zip(frames[:first], expected))
