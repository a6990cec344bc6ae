"""NV12 and NV21 pictures are the decoder's 4:2:0 planes with the chroma
rows interleaved, also at odd sizes (a JPEG of 333 x 251) where the last
chroma column and row cover one luma pixel."""
import numpy as np
import pytest
from PIL import Image

from decoding import OK, kyme, open_channel


def decoded(path, output):
    open_channel(0, "KYME_CODEC_DEC_JPEG", "KYME_PIX_FMT_" + output)
    frame = kyme.frame()
    assert kyme.jpegSyncDecoder(0, path, frame, 1000) == OK
    assert kyme.transferFrameFromDecoder(0, frame, False) == OK
    pixels = np.frombuffer(memoryview(frame), np.uint8).copy()
    assert kyme.decReleaseFrame(0, frame, 0) == OK
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
