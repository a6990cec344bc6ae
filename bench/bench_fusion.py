"""The NV12 fusion op (1920x1080 NV12 -> bilinear resize to 224x224 -> RGB
planar -> (x / 255 - mean) / std -> float16 tensor), device image to device
tensor, against the same steps on the host with cv2 (resize of both planes,
NV12 to RGB) and numpy (planar float32, normalisation, float16). A second
ratio adds bringing the tensor back to host memory to the op's side."""
import numpy as np

from harness import interleaved

W, H, SIZE = 1920, 1080, 224
MEAN, STD = [0.485, 0.456, 0.406], [0.229, 0.224, 0.225]


def run(report):
    import cv2

    import _quillon_pybind11 as quillon

    kycm, kyce = quillon.kycm, quillon.kyce
    kycm.initialize()
    kycm.setDevice(0)
    DT, PT = kyce.dataType, kyce.paramType
    nv12 = np.random.default_rng(3).integers(16, 236, (H * 3 // 2, W), np.uint8)
    source = kycm.malloc(nv12.size)
    host = kycm.getHandleFromNumpy(nv12)
    kycm.memcpy(host, source, nv12.size, kycm.copyMemType.kycmCT_COPY_TO_DEVICE)
    kycm.freeHost(host)
    tensor_bytes = 3 * SIZE * SIZE * 2
    tensor = kycm.malloc(tensor_bytes)
    back = np.zeros(tensor_bytes, np.uint8)
    back_handle = kycm.getHandleFromNumpy(back)

    op = kyce.createOp(kyce.opType.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR)
    for name, values, dtype in [("input_desc", [W, H, W, H, 0], DT.kyceDT_INT),
                                ("output_size", [SIZE, SIZE], DT.kyceDT_INT), ("mean", MEAN, DT.kyceDT_FLOAT),
                                ("std", STD, DT.kyceDT_FLOAT)]:
        for i, value in enumerate(values):
            kyce.setKyceOPAttrArray(op, name, dtype, PT.kycePARAM_ARRAY, value, i)
    element = PT.kycePARAM_ELEMENT
    kyce.setKyceOPAttr(op, "norm_type", DT.kyceDT_INT, element, int(kyce.normType.kyceNORM_DIV255_MINUSMEAN_DIVSTD))
    kyce.setKyceOPAttr(op, "tensorization_type", DT.kyceDT_INT, element,
                       int(kyce.tensorizationType.kyceTENSORIZATION_FP16))

    y, uv = nv12[:H], nv12[H:].reshape(H // 2, W // 2, 2)
    mean = np.array(MEAN, np.float32).reshape(3, 1, 1)
    std = np.array(STD, np.float32).reshape(3, 1, 1)

    def theirs():
        small_y = cv2.resize(y, (SIZE, SIZE), interpolation=cv2.INTER_LINEAR)
        small_uv = cv2.resize(uv, (SIZE // 2, SIZE // 2), interpolation=cv2.INTER_LINEAR)
        rgb = cv2.cvtColorTwoPlane(small_y, small_uv, cv2.COLOR_YUV2RGB_NV12)
        return ((rgb.transpose(2, 0, 1).astype(np.float32) / 255 - mean) / std).astype(np.float16)

    def ours():
        kyce.executeOp(op, source, tensor)

    def ours_to_host():
        kyce.executeOp(op, source, tensor)
        kycm.memcpy(tensor, back_handle, tensor_bytes, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE)

    assert kyce.executeOp(op, source, tensor) == 0
    ours_to_host()
    result = kycm.getNumpyFromHandle(back_handle, tensor_bytes).view(np.float16).reshape(3, SIZE, SIZE)
    assert np.array_equal(result, theirs()), "the op and the steps differ"

    theirs_time, ours_time, to_host_time = interleaved([theirs, ours, ours_to_host], 20, 9)
    report.ratio("kyce fusion NV12 1080p->224 RGB fp16 tensor / cv2+numpy", theirs_time / ours_time, 2.0, True,
                 f"({ours_time * 1e3:.2f} ms vs {theirs_time * 1e3:.2f} ms)")
    report.ratio("  the same with the tensor brought to host memory", theirs_time / to_host_time, 2.0, True,
                 f"({to_host_time * 1e3:.2f} ms vs {theirs_time * 1e3:.2f} ms)")
    kyce.destroyOp(op)
    kycm.freeHost(back_handle)
    kycm.free(tensor)
    kycm.free(source)
