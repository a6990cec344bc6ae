"""A decoded picture nothing has read yet: the fusion op takes it from the codec's own planes, any other reader gets
it copied out first. Both give the decoder's picture, and the same tensors, bit for bit."""
import itertools

import av
import numpy as np
import pytest

import quillon
from images import NV12, kycm, kyce
from op_helpers import O, configure, download

N, T = kyce.normType, kyce.tensorizationType
CASES = [  # op type, its attributes besides input_desc
    (O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR,  # bilinear, float32 / 255 as the main job's
     {"output_size": (46, 34), "norm_type": N.kyceNORM_DIV255}),
    (O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR,  # rows wide enough for the vector passes, and their tails
     {"output_size": (118, 62), "tensorization_type": T.kyceTENSORIZATION_UINT8}),
    (O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR,  # halved: chroma averaged; blue first
     {"output_size": (160, 120), "cvt_code": kyce.colorCvtCode.kyceCOLOR_YUV2BGR_NV12,
      "tensorization_type": T.kyceTENSORIZATION_UINT8}),
    (O.kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR,
     {"output_size": (20, 14), "resize_size": (60, 44), "crop_rect": (8, 6, 20, 14),
      "norm_type": N.kyceNORM_DIV255_MINUSMEAN_DIVSTD, "mean": [0.5, 0.4, 0.3], "std": [0.2, 0.3, 0.4],
      "tensorization_type": T.kyceTENSORIZATION_FP16_INTERLEAVE}),
]
# input_desc (width, height, pitches): the picture itself; its top-left quarter, which the copy in device
# memory holds too; a height pitch short of the height, refused whether the picture was read or not.
DESCS = [(320, 240, 320, 240), (160, 120, 320, 240), (320, 240, 320, 238)]
ITEM_BYTES = {T.kyceTENSORIZATION_NONE: 4, T.kyceTENSORIZATION_UINT8: 1, T.kyceTENSORIZATION_FP16_INTERLEAVE: 2}


def nv12_reference(path):
    """The clip's pictures decoded by PyAV, as NV12 bytes."""
    pictures = []
    with av.open(path) as container:
        for frame in container.decode(video=0):
            planes = frame.to_ndarray()  # yuv420p: Y, then U, then V rows
            h, w = frame.height, frame.width
            u = planes[h:h + h // 4].reshape(h // 2, w // 2)
            v = planes[h + h // 4:].reshape(h // 2, w // 2)
            pictures.append(np.concatenate([planes[:h], np.stack([u, v], axis=2).reshape(h // 2, w)]))
    return pictures


def tensor(op, address, size):
    """The op's code and, when it ran, its tensor's bytes."""
    out = kycm.malloc(size)
    try:
        code = kyce.executeOp(op, address, out)
        return code, (download(out, size).tobytes() if code == 0 else None)
    finally:
        kycm.free(out)


@pytest.mark.parametrize("name", ["h264.mp4", "hevc.mkv"])
def test_unread_pictures_give_the_tensors_and_bytes_of_copied_ones(clips, name):
    expected = nv12_reference(clips[name])
    ops = []
    for (op_type, attributes), desc in itertools.product(CASES, DESCS):
        w, h = attributes["output_size"]
        itemsize = ITEM_BYTES[attributes.get("tensorization_type", T.kyceTENSORIZATION_NONE)]
        ops.append((configure(kyce.createOp(op_type), input_desc=[*desc, int(NV12)], **attributes), w * h * 3 * itemsize))
    try:
        with quillon.open(clips[name]) as video:
            count = 0
            for frame in video.frames(format="nv12", copy=False):
                # From the codec's planes: the picture has not been copied out yet.
                unread = [tensor(op, frame.device_address, size) for op, size in ops]
                assert np.array_equal(frame.to_numpy(), expected[frame.index]), frame.index
                # From device memory, now that the read copied it there.
                assert [tensor(op, frame.device_address, size) for op, size in ops] == unread, frame.index
                count += 1
            assert count == len(expected) == 30
            assert [code for code, _ in unread] == [0, 0, kyce.kyceER_BASE + 5] * len(CASES)
    finally:
        for op, _ in ops:
            kyce.destroyOp(op)
