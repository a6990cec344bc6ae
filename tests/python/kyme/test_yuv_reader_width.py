"""YUVReader checks the picture width as it checks height and stride: a
width that is not positive or that its luma rows cannot hold is refused."""
import pytest

import _quillon_pybind11 as quillon

kyme = quillon.kyme


@pytest.mark.parametrize("width, stride", [(-5, 8), (0, 8), (9, 8), (-(2**31), 8)])
def test_refused_widths(tmp_path, capfd, width, stride):
    path = tmp_path / "any.yuv"
    path.write_bytes(bytes(4096))
    reader = kyme.YUVReader(str(path), kyme.pixelFormat.KYME_PIX_FMT_NV12, width, 8, stride)
    reader.init()
    assert capfd.readouterr().out == f"Sorry, picture width {width} and stride {stride} are not supported!\n"
    assert reader.getFrame(kyme.frame()) == 0
    reader.release()
