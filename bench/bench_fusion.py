"""The NV12 fusion op (1920x1080 NV12 -> bilinear resize -> RGB planar float32
tensor, x / 255, then with mean and std as well) against the best the same
machine does with OpenCV from Python: cv2.resize of each plane,
cv2.cvtColorTwoPlane, cv2.dnn.blobFromImage(1 / 255) (and, for mean and std,
numpy's in-place subtract and divide on the blob, which blobFromImage cannot
do per channel). Both sides run with OpenCV's threads, then both on one
thread (cv2.setNumThreads sets it for the op too: one OpenCV in the process).
Output sizes 112 and 224. Runs alternate between the two sides; each ratio is of the medians, and
min/median/max of each side and the load average are printed with it."""
import numpy as np

from harness import interleaved_runs, load_average, spread

W, H = 1920, 1080
MEAN, STD = [0.485, 0.456, 0.406], [0.229, 0.224, 0.225]
CALLS, RUNS = 20, 15


def run(report):
    import cv2

    import _quillon_pybind11 as quillon

    kycm, kyce = quillon.kycm, quillon.kyce
    kycm.initialize()
    kycm.setDevice(0)
    DT, PT, N = kyce.dataType, kyce.paramType, kyce.normType
    nv12 = np.random.default_rng(3).integers(16, 236, (H * 3 // 2, W), np.uint8)
    source = kycm.malloc(nv12.size)
    host = kycm.getHandleFromNumpy(nv12)
    kycm.memcpy(host, source, nv12.size, kycm.copyMemType.kycmCT_COPY_TO_DEVICE)
    kycm.freeHost(host)
    y, uv = nv12[:H], nv12[H:].reshape(H // 2, W // 2, 2)
    mean = np.array(MEAN, np.float32).reshape(1, 3, 1, 1)
    std = np.array(STD, np.float32).reshape(1, 3, 1, 1)

    for size in (112, 224):
        tensor_bytes = 3 * size * size * 4
        tensor = kycm.malloc(tensor_bytes)
        back = np.zeros(tensor_bytes, np.uint8)
        back_handle = kycm.getHandleFromNumpy(back)
        for with_std in (False, True):
            op = kyce.createOp(kyce.opType.kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR)
            attributes = [("input_desc", [W, H, W, H, 0], DT.kyceDT_INT), ("output_size", [size, size], DT.kyceDT_INT),
                          ("mean", MEAN, DT.kyceDT_FLOAT), ("std", STD, DT.kyceDT_FLOAT)]
            for name, values, dtype in attributes:
                for i, value in enumerate(values):
                    kyce.setKyceOPAttrArray(op, name, dtype, PT.kycePARAM_ARRAY, value, i)
            norm = N.kyceNORM_DIV255_MINUSMEAN_DIVSTD if with_std else N.kyceNORM_DIV255
            kyce.setKyceOPAttr(op, "norm_type", DT.kyceDT_INT, PT.kycePARAM_ELEMENT, int(norm))

            def theirs(size=size, with_std=with_std):
                small_y = cv2.resize(y, (size, size), interpolation=cv2.INTER_LINEAR)
                small_uv = cv2.resize(uv, (size // 2, size // 2), interpolation=cv2.INTER_LINEAR)
                rgb = cv2.cvtColorTwoPlane(small_y, small_uv, cv2.COLOR_YUV2RGB_NV12)
                blob = cv2.dnn.blobFromImage(rgb, 1 / 255)
                if with_std:
                    blob -= mean
                    blob /= std
                return blob

            def ours(op=op, tensor=tensor):
                kyce.executeOp(op, source, tensor)

            assert kyce.executeOp(op, source, tensor) == 0
            kycm.memcpy(tensor, back_handle, tensor_bytes, kycm.copyMemType.kycmCT_COPY_FROM_DEVICE)
            got = kycm.getNumpyFromHandle(back_handle, tensor_bytes).view(np.float32).reshape(1, 3, size, size)
            # blobFromImage multiplies by 1/255 where the op divides: a few ulps apart.
            assert np.abs(got - theirs()).max() < 1e-5, "the op and the OpenCV steps differ"

            name = f"kyce fusion NV12 1080p->{size} RGB f32 {'(x/255-mean)/std' if with_std else 'x/255'} / cv2 path"
            # OpenCV's pool waits for its workers, which a busy machine may
            # not run for a while: the same comparison on one thread each
            # shows how much of a ratio that accounts for.
            threads = cv2.getNumThreads()
            for count, label in ((threads, ""), (1, ", 1 thread")):
                cv2.setNumThreads(count)
                load = load_average()
                theirs_runs, ours_runs = interleaved_runs([theirs, ours], CALLS, RUNS)
                report.ratio(name + label, np.median(theirs_runs) / np.median(ours_runs), 1.5, True,
                             f"(ours {spread(ours_runs)}, cv2 {spread(theirs_runs)}; load {load})")
            cv2.setNumThreads(threads)
            kyce.destroyOp(op)
        kycm.freeHost(back_handle)
        kycm.free(tensor)
    kycm.free(source)
