"""quillon.encode: what ffprobe and ffmpeg make of the files it writes, and
how it refuses what it cannot write."""
import subprocess
from dataclasses import dataclass
from fractions import Fraction

import numpy as np
import pytest

import _quillon_pybind11 as module
import quillon
from conftest import ffprobe, psnr, upload
from quillon.models import DevicePicture as PictureOnTheDie
from quillon import Error

W, H, COUNT = 320, 240, 12
pytestmark = pytest.mark.usefixtures("media")


def picture(index, width=W, height=H):
    """Smooth moving colour waves: the chroma detail of camera pictures, not of test cards."""
    y, x = np.mgrid[0:height, 0:width].astype(float)
    return np.stack([128 + 100 * np.sin((x + 4 * index) / 41), 128 + 100 * np.cos((y - 2 * index) / 37),
                     128 + 90 * np.sin((x + y + 3 * index) / 53)], -1).round().astype(np.uint8)


def probe(path):
    return ffprobe(path, "format=format_name:stream=codec_name,width,height,nb_read_frames,r_frame_rate:"
                         "frame=best_effort_timestamp_time")


def decoded(path, pix_fmt="rgb24", width=W, height=H):
    run = subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-i", str(path), "-f", "rawvideo", "-pix_fmt", pix_fmt,
                          "-"], capture_output=True, check=True)
    shape = (width, 3) if pix_fmt == "rgb24" else (width,)
    return np.frombuffer(run.stdout, np.uint8).reshape(-1, height * 3 // 2 if pix_fmt == "nv12" else height, *shape)


@pytest.mark.parametrize("name, codec, format_name", [
    ("clip.mp4", None, "mov,mp4,m4a,3gp,3g2,mj2"), ("clip.mp4", "hevc", "mov,mp4,m4a,3gp,3g2,mj2"),
    ("clip.mkv", None, "matroska,webm"), ("clip.mkv", "hevc", "matroska,webm"),
    ("clip.h264", None, "h264"), ("clip.265", None, "hevc")])
def test_video_files_hold_every_picture_at_its_time(tmp_path, name, codec, format_name):
    pictures = [picture(i) for i in range(COUNT)]
    with quillon.encode(tmp_path / name, W, H, codec=codec, fps=25) as video:
        for p in pictures:
            video.write(p)
    info = probe(tmp_path / name)
    stream = info["streams"][0]
    assert info["format"]["format_name"] == format_name
    assert stream["codec_name"] == (codec or ("hevc" if name.endswith(".265") else "h264"))
    assert (stream["width"], stream["height"], int(stream["nb_read_frames"])) == (W, H, COUNT)
    assert stream["r_frame_rate"] == "25/1"
    if format_name not in ("h264", "hevc"):  # containers keep the time stamps, in display order
        times = [float(frame["best_effort_timestamp_time"]) for frame in info["frames"]]
        assert times == pytest.approx([i / 25 for i in range(COUNT)], abs=1e-3)
    frames = decoded(tmp_path / name)
    assert len(frames) == COUNT and min(psnr(a, b) for a, b in zip(frames, pictures)) >= 38


def test_jpeg_sequence_numbers_files_from_zero_in_full_range(tmp_path):
    pictures = [picture(i) for i in range(3)]
    with quillon.encode(tmp_path / "shot-%03d.jpg", W, H) as photos:
        for p in pictures:
            photos.write(p)
    assert sorted(f.name for f in tmp_path.iterdir()) == ["shot-000.jpg", "shot-001.jpg", "shot-002.jpg"]
    for index, p in enumerate(pictures):
        path = tmp_path / f"shot-{index:03d}.jpg"
        assert probe(path)["streams"][0]["codec_name"] == "mjpeg"
        # A limited-range picture read as a JPEG's full range would lose its contrast.
        assert psnr(decoded(path)[0], p) >= 38


def test_nv12_arrays_and_fractional_rates(tmp_path):
    import cv2

    frames = []
    for i in range(COUNT):
        i420 = cv2.cvtColor(picture(i), cv2.COLOR_RGB2YUV_I420)
        u, v = i420[H:H + H // 4].reshape(H // 2, W // 2), i420[H + H // 4:].reshape(H // 2, W // 2)
        frames.append(np.vstack([i420[:H], np.dstack([u, v]).reshape(H // 2, W)]))
    with quillon.encode(tmp_path / "ntsc.mp4", W, H, fps=Fraction(30000, 1001), quality=18) as video:
        for f in frames:
            video.write(f)
    assert probe(tmp_path / "ntsc.mp4")["streams"][0]["r_frame_rate"] == "30000/1001"
    assert min(psnr(a, b) for a, b in zip(decoded(tmp_path / "ntsc.mp4", "nv12"), frames)) >= 40


@dataclass
class DevicePicture:
    device_address: object
    format: str
    width: int = W
    height: int = H
    device: int = 0


@pytest.mark.parametrize("name", ["clip.mkv", "still-%d.jpg"])
def test_pictures_on_the_die_in_every_layout(tmp_path, name):
    rgb = picture(0)
    layouts = {"rgb24": rgb, "bgr24": rgb[..., ::-1], "rgb_planar": rgb.transpose(2, 0, 1)}
    blocks = {layout: upload(pixels) for layout, pixels in layouts.items()}
    assert isinstance(DevicePicture(1, "nv12"), PictureOnTheDie)
    try:
        with quillon.encode(tmp_path / name, W, H, device=1) as video:
            for layout, block in blocks.items():
                video.write(DevicePicture(block, layout))
            with pytest.raises(ValueError, match="160x120 picture cannot go into a 320x240 writer"):
                video.write(DevicePicture(blocks["rgb24"], "rgb24", 160, 120))
            pytest.raises(ValueError, video.write, DevicePicture(blocks["rgb24"], "gray")).match("format 'gray'")
    finally:
        for block in blocks.values():
            module.kycm.free(block)
    outputs = sorted(tmp_path.iterdir())
    frames = np.concatenate([decoded(path) for path in outputs])
    assert len(frames) == 3 and all(psnr(f, rgb) >= 38 for f in frames)
    with quillon.open(str(outputs[0])) as clip, quillon.encode(tmp_path / "again.h264", W, H, device=1) as video:
        for frame in clip.frames("nv12", device=1):
            video.write(frame.picture)  # a frame's picture goes where the frame goes
    assert len(decoded(tmp_path / "again.h264")) == (3 if name == "clip.mkv" else 1)


def test_rate_control(tmp_path):
    sizes = {}
    for label, options in {"low": {"bitrate": 100_000}, "high": {"bitrate": 2_000_000},
                           "best": {"quality": 1}, "worst": {"quality": 51}}.items():
        path = tmp_path / f"{label}.h264"
        with quillon.encode(path, W, H, **options) as video:
            for i in range(COUNT):
                video.write(picture(i))
        sizes[label] = path.stat().st_size
    assert sizes["low"] * 4 < sizes["high"] and sizes["worst"] * 10 < sizes["best"]


def test_a_refused_configuration_keeps_the_file_and_a_closed_writer_refuses(tmp_path):
    (tmp_path / "kept.mp4").write_bytes(b"the user's own file")
    with pytest.raises(Error) as refused:  # below the encoder's smallest picture
        quillon.encode(tmp_path / "kept.mp4", 8, 8)
    assert refused.value.library == "kyme" and refused.value.code == 402001
    assert (tmp_path / "kept.mp4").read_bytes() == b"the user's own file"

    video = quillon.encode(tmp_path / "a.mp4", W, H)
    video.close()
    pytest.raises(ValueError, video.write, picture(0)).match("write after close")
    video.close()  # a second close does nothing


def test_files_are_finished_however_the_writer_ends(tmp_path):
    with pytest.raises(KeyError):
        with quillon.encode(tmp_path / "cut.mp4", W, H) as video:
            for i in range(5):
                video.write(picture(i))
            raise KeyError("the caller's own failure")
    dropped = quillon.encode(tmp_path / "dropped.mp4", W, H)
    for i in range(5):
        dropped.write(picture(i))
    del dropped  # the encoder still held every picture: none may be lost
    for name in ("cut.mp4", "dropped.mp4"):
        assert int(probe(tmp_path / name)["streams"][0]["nb_read_frames"]) == 5
    quillon.encode(tmp_path / "empty.mkv", W, H).close()
    assert (tmp_path / "empty.mkv").stat().st_size == 0


def test_a_path_is_a_file_whatever_it_looks_like(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with quillon.encode("pipe:1.h264", W, H) as video:  # not libavformat's standard output
        video.write(picture(0))
    assert int(probe(tmp_path / "pipe:1.h264")["streams"][0]["nb_read_frames"]) == 1


def test_native_helpers_refuse_what_they_cannot_use(tmp_path):
    from quillon import _native

    host = np.zeros(W * H * 3, np.uint8)
    kyme = module.kyme
    parameters = kyme.encChannelParamters()
    parameters.codecType = kyme.codecType.KYME_CODEC_ENC_H264
    parameters.videoConfig.width, parameters.videoConfig.height = W, H
    parameters.videoConfig.frameRate.numerator = parameters.videoConfig.frameRate.denominator = 1
    assert kyme.createEncoderChannel(parameters, 0) == 0 and kyme.startEncoder(0) == 0
    # Null, host and wild addresses are codes from the library, never reads.
    block = module.kycm.mallocHost(16)
    for address in (0, host.ctypes.data, 1 << 47, block):
        assert _native.send_picture(0, address, "nv12", W, H, 0, 0) != 0
    module.kycm.freeHost(block)
    assert _native.send_picture(12345, 0, "rgb24", W, H, 0, 0) != 0
    for args, error in [((0, 0, "yuv", W, H, 0, 0), ValueError), ((0, 0, "nv12", 0, H, 0, 0), ValueError),
                        ((0, 0, "rgb24", 70000, 70000, 0, 0), ValueError), ((0, "0", "nv12", W, H, 0, 0), TypeError),
                        ((0, 0, "nv12", -2, H, 0, 0), TypeError)]:
        pytest.raises(error, _native.send_picture, *args)

    muxer = _native.Muxer(str(tmp_path / "raw.h264"), "h264", "h264", W, H, 25, 1)
    unit = b"\0\0\0\1\x09\xf0"  # an access unit delimiter
    for bad, pts, dts in [(b"", 0, 0), (memoryview(b"\0\0\0\1\x09\xf0\0\0")[::2], 0, 0),
                          (np.zeros((2, 2), np.uint8), 0, 0), (unit, 0, 1)]:
        pytest.raises(ValueError, muxer.write, bad, pts, dts)
    muxer.write(unit, 0, 0)
    pytest.raises(ValueError, muxer.write, unit, 1, 0).match("must increase")
    muxer.close()
    muxer.close()
    pytest.raises(ValueError, muxer.write, unit, 1, 1).match("closed")
    for args in [("x.mp4", "nonesuch", "h264", W, H, 25, 1), ("x.mp4", "mp4", "vp8", W, H, 25, 1),
                 ("x.mp4", "mp4", "h264", W, H, 0, 1), ("x.mp4", "mp4", "h264", -1, H, 25, 1)]:
        pytest.raises(ValueError, _native.Muxer, *args)
    _native.Muxer(str(tmp_path / "dropped.mkv"), "matroska", "h264", W, H, 25, 1)  # dropped unwritten


@pytest.mark.parametrize("name", ["full.h264", "full.mp4"])
def test_a_full_disk_fails_the_program(tmp_path, name):
    import os
    import sys

    (tmp_path / name).symlink_to("/dev/full")
    script = ("import numpy as np, quillon\n"
              f"with quillon.encode({str(tmp_path / name)!r}, 320, 240) as video:\n"
              "    for i in range(3):\n"
              "        video.write(np.random.default_rng(i).integers(0, 255, (240, 320, 3), np.uint8))\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert run.returncode == 1 and "No space left on device" in run.stderr.splitlines()[-1]
