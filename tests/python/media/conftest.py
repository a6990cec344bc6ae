"""The package's sources join the build tree on the path; test media are
made once per session with ffmpeg and Pillow."""
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "python"))


def ffmpeg(*arguments):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *map(str, arguments)], check=True)


@pytest.fixture(scope="session")
def clips(tmp_path_factory):
    """name -> path: 320x240 clips of 30 pictures, with B-frames where the codec has them."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed")
    folder = tmp_path_factory.mktemp("clips")
    source = ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30", "-frames:v", "30"]
    made = {
        "h264.mp4": ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "2"],
        "hevc.mkv": ["-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params", "log-level=error:bframes=2"],
        "mpeg4.avi": ["-c:v", "mpeg4", "-bf", "2"],
        "hevc10.mkv": ["-pix_fmt", "yuv420p10le", "-c:v", "libx265", "-x265-params", "log-level=error"],
        "h264.h264": ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0"],
    }
    for name, options in made.items():
        ffmpeg(*source, *options, folder / name)
    return {name: str(folder / name) for name in made}


def gradient(width, height):
    from PIL import Image

    y, x = np.mgrid[0:height, 0:width]
    return Image.fromarray(np.stack([x * 255 // width, y * 255 // height, (x * 3 + y) % 256], -1).astype(np.uint8))


@pytest.fixture(scope="session")
def photos(tmp_path_factory):
    """A folder of JPEG files: odd-sized, CMYK, grey, progressive and turned by EXIF orientations."""
    folder = tmp_path_factory.mktemp("photos")
    gradient(333, 211).save(folder / "01_odd.jpg", quality=90)
    gradient(320, 240).convert("CMYK").save(folder / "02_cmyk.jpg", quality=90)
    gradient(320, 240).convert("L").save(folder / "03_gray.jpg", quality=90)
    gradient(320, 240).save(folder / "04_progressive.jpg", quality=90, progressive=True)
    for orientation in (2, 3, 4, 5, 6, 7, 8):
        image = gradient(301, 200)
        exif = image.getexif()
        exif[0x0112] = orientation
        image.save(folder / f"1{orientation}_turned.jpg", exif=exif, quality=90)
    (folder / "notes.txt").write_text("not a photo")
    return folder
