"""NV12 and NV21 are the decoder's 4:2:0 planes with interleaved chroma, also at odd sizes."""
import numpy as np
import pytest
from PIL import Image

from decoding import OK, jpeg_decoded, kyme, open_channel


def decoded(path, output):
    open_channel(0, "KYME_CODEC_DEC_JPEG", "KYME_PIX_FMT_" + output)
    pixels = jpeg_decoded(path)
    assert kyme.destroyDecoderChannel(0) == OK
    return pixels


@pytest.mark.parametrize("output, order", [("NV12", (0, 1)), ("NV21", (1, 0))])
def test_chroma_rows_are_the_planes_interleaved(media, tmp_path, output, order):
    width, height = 333, 251
    rng = np.random.default_rng(3)
    path = str(tmp_path / "p.jpg")
    Image.fromarray(rng.integers(0, 256, (height, width, 3), np.uint8)).save(path, quality=95, subsampling=2)
    planar = decoded(path, "YUV420P")
    luma = width * height
    cw, ch = (width + 1) // 2, (height + 1) // 2
    chroma = planar[luma:].reshape(2, ch, cw)
    expected = np.concatenate([planar[:luma], np.stack([chroma[order[0]], chroma[order[1]]], axis=2).ravel()])
    assert np.array_equal(decoded(path, output), expected)
