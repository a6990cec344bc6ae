"""kyce refusals: bad descriptions, formats, pitches, memory and lists are
codes or the bindings' exceptions, and leave every output byte as it was."""
import pytest

from images import GRAY, I420, NV12, RGB, device, desc, kycm, kyce  # noqa: F401
from test_image_ops import padding_values, rect

R = kyce.resizeType
BASE = kyce.kyceER_BASE
NULL, FORMAT, SIZE, PITCH, MEMORY, TYPE, PARAMETER = (BASE + 1, BASE + 2, BASE + 4, BASE + 5, BASE + 6, BASE + 7,
                                                      BASE + 8)


def test_bad_arguments_are_codes_and_write_nothing(device):
    src, dst = device(NV12, 64, 48), device(NV12, 32, 24)
    small = device(NV12, 8, 8)
    host = kycm.mallocHost(dst.buf.size)
    good = (src.desc, src.handle, dst.desc, dst.handle)
    bilinear = R.kyceRESIZE_BILINEAR

    def resize(d_in=src.desc, h_in=src.handle, d_out=dst.desc, h_out=dst.handle, kind=bilinear):
        return kyce.resize(kind, d_in, h_in, d_out, h_out)

    cases = [
        (resize(h_in=None), NULL),
        (resize(h_out=None), NULL),
        (resize(kind=R.kyceRESIZE_BUTT), TYPE),
        (resize(kind=R(77)), TYPE),
        (resize(d_in=desc(kyce.imageType.kyceIMG_FORMAT_BUTT, 64, 48)), FORMAT),
        (resize(d_out=desc(GRAY, 32, 24)), FORMAT),
        (resize(d_in=desc(NV12, 63, 48, 64, 48)), SIZE),  # odd YUV size
        (resize(d_in=desc(NV12, 0, 48)), SIZE),
        (resize(d_in=desc(NV12, -64, 48)), SIZE),
        (resize(d_in=desc(NV12, 64, 48, 62, 48)), PITCH),
        (resize(d_out=desc(NV12, 32, 24, 32, 23)), PITCH),
        (resize(d_out=desc(NV12, 64, 48)), MEMORY),  # larger than the output buffer
        (resize(d_out=desc(NV12, 2 ** 30, 2 ** 30)), MEMORY),
        (resize(h_in=small.handle, d_in=desc(NV12, 64, 48)), MEMORY),
        (resize(h_out=host), MEMORY),  # host memory is not an image
        (resize(kind=R.kyceRESIZE_NO_RESIZE), SIZE),
        (kyce.crop(rect(40, 0, 32, 24), *good), SIZE),  # past the right edge
        (kyce.crop(rect(1, 0, 32, 24), *good), SIZE),  # odd YUV corner
        (kyce.crop(rect(0, 0, 30, 24), *good), SIZE),  # not the output's size
        (kyce.yuvFlip(kyce.flipType(3), *good), TYPE),
        (kyce.yuvFlip(kyce.flipType.kyceFLIP_X_AXIS, *good), SIZE),
        (kyce.cvtColor(kyce.colorCvtCode.kyceCOLOR_YUV2RGB_NV12, kyce.colorSpace.kyceCOLOR_SPACE_BUTT, *good), TYPE),
        (kyce.cvtColor(kyce.colorCvtCode.kyceCOLOR_YUV2RGB_NV12, kyce.colorSpace.kyceCOLOR_SPACE_BT601, *good),
         FORMAT),
        (kyce.cvtColor(kyce.colorCvtCode.kyceCOLOR_CVT_CODE_BUTT, kyce.colorSpace.kyceCOLOR_SPACE_BT601, *good), TYPE),
        (kyce.scale(bilinear, src.desc, src.handle, [], []), PARAMETER),
        (kyce.scale(bilinear, src.desc, src.handle, [dst.desc, desc(I420, 32, 24)], [dst.handle, dst.handle]),
         FORMAT),
        (kyce.batchCropResize([rect(0, 0, 32, 24), rect(0, 0, 66, 24)], bilinear, *good[:3], [dst.handle] * 2), SIZE),
        (kyce.batchCropResize([rect(0, 0, 32, 24)], bilinear, *good[:3], [None]), NULL),
    ]
    matrix = kyce.affineMatrixPy()
    matrix.matrix = [1, 2, 0, 2, 4, 0]  # singular
    rgb_in, rgb_out = device(RGB, 16, 16), device(RGB, 16, 16)
    rgb = (rgb_in.desc, rgb_in.handle, rgb_out.desc, rgb_out.handle)
    mode, constant = kyce.warpAffineMode.kyceWARP_AFFINE_MODE_BILINEAR, kyce.paddingType.kyceEDGE_PADDING_TYPE_CONSTANT
    values = padding_values(1, 2, 3)
    cases += [(kyce.warpAffine(matrix, mode, constant, values, *rgb), PARAMETER),
              (kyce.warpAffine(matrix, mode, kyce.paddingType(3), values, *rgb), TYPE)]
    matrix.matrix = [1, 0, 0, 0, 1, 0]
    cases += [(kyce.warpAffine(matrix, mode, constant, values, *good), FORMAT)]
    edges = kyce.paddingEdges()
    edges.left = edges.right = 8
    cases += [(kyce.resizeCopyMakeBorder(bilinear, constant, values, edges, *rgb), SIZE)]  # no inner area
    edges.left = edges.right = 2 ** 31
    cases += [(kyce.resizeCopyMakeBorder(bilinear, constant, values, edges, *rgb), SIZE)]
    edges.left, edges.right = 1, 0
    cases += [(kyce.resizeCopyMakeBorder(bilinear, constant, values, edges, *good), SIZE)]  # odd YUV edge
    assert [code for code, _ in cases] == [expected for _, expected in cases]
    kycm.freeHost(host)
    for image in (dst, small, rgb_out):
        assert all((p == 0xA5).all() for p in image.planes())


def test_binding_refusals_happen_before_the_library(device, journal):
    src, dst = device(RGB, 16, 16), device(RGB, 16, 16)
    images = (src.desc, src.handle, dst.desc, dst.handle)
    mode, constant = kyce.warpAffineMode.kyceWARP_AFFINE_MODE_NEAREST, kyce.paddingType.kyceEDGE_PADDING_TYPE_CONSTANT
    matrix, edges, values = kyce.affineMatrixPy(), kyce.paddingEdges(), padding_values(1, 2, 3)
    matrix.matrix = [1.0] * 7
    with pytest.raises(ValueError, match="more than the 6"):
        kyce.warpAffine(matrix, mode, constant, values, *images)
    long_values = kyce.paddingValuesPy()
    long_values.value = [1, 2, 3, 4]
    with pytest.raises(ValueError):
        kyce.resizeCopyMakeBorder(R.kyceRESIZE_BILINEAR, constant, long_values, edges, *images)
    matrix.matrix = [1.0] * 6
    for call in (lambda: kyce.crop(None, *images),
                 lambda: kyce.warpAffine(None, mode, constant, values, *images),
                 lambda: kyce.warpAffine(matrix, mode, constant, None, *images),
                 lambda: kyce.resizeCopyMakeBorder(R.kyceRESIZE_BILINEAR, constant, None, edges, *images),
                 lambda: kyce.resizeCopyMakeBorder(R.kyceRESIZE_BILINEAR, constant, values, None, *images),
                 lambda: kyce.batchCropResize([rect(0, 0, 8, 8)] * 3, R.kyceRESIZE_BILINEAR, *images[:3],
                                              [dst.handle] * 2)):
        pytest.raises(TypeError, call)
    with pytest.raises(TypeError, match=r"^kyce scale error\. Output imageDescs size != output handles size\.$"):
        kyce.scale(R.kyceRESIZE_BILINEAR, src.desc, src.handle, [dst.desc] * 2, [dst.handle] * 3)
    # This binding layer refuses a None description, alone or in a list, during overload resolution.
    pytest.raises(TypeError, kyce.scale, R.kyceRESIZE_BILINEAR, src.desc, src.handle, [None], [dst.handle])
    pytest.raises(TypeError, kyce.resize, R.kyceRESIZE_BILINEAR, None, src.handle, dst.desc, dst.handle)
    assert not [name for name, _ in journal() if name.startswith("kyce")]


def test_records_and_adaptors():
    assert kyce.imageType(5001).name == "???"  # names no member
    values = kyce.paddingValuesPy()
    values.value = [0, 128, 255]
    values.value.append(7)
    with pytest.raises(TypeError):
        values.value = [0, 128, 256]
    assert values.value == [0, 128, 255]
    d = kyce.imageDesc()
    assert (d.width, d.height, d.widthPitch, d.heightPitch, d.format) == (0, 0, 0, 0, kyce.imageType.kyceIMG_YUV_NV12)
    assert kyce.getVersion() == 2
