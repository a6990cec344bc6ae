"""kyce image ops on a 1920x1080 picture, device image to device image,
against the host libraries on the same picture in host memory: bilinear
resize of NV12 (to 224x224 and 1280x720) and NV12 to RGB against cv2, and
Pillow's bilinear resize of RGB to 224x224 against Image.resize."""
import numpy as np

from harness import interleaved

W, H = 1920, 1080


def run(report):
    import cv2
    from PIL import Image

    import _quillon_pybind11 as quillon

    kycm, kyce = quillon.kycm, quillon.kyce
    kycm.initialize()
    kycm.setDevice(0)
    T, R = kyce.imageType, kyce.resizeType
    rng = np.random.default_rng(3)
    nv12 = rng.integers(16, 236, (H * 3 // 2, W), np.uint8)
    rgb = rng.integers(0, 256, (H, W, 3), np.uint8)
    made = []

    def device_image(fmt, w, h, data=None):
        d = kyce.imageDesc()
        d.width, d.height, d.widthPitch, d.heightPitch, d.format = w, h, w, h, fmt
        size = w * h * (3 if fmt == T.kyceIMG_RGB888 else 1) * (2 if fmt == T.kyceIMG_RGB888 else 3) // 2
        handle = kycm.malloc(size)
        made.append(handle)
        fill = np.zeros(size, np.uint8) if data is None else data.reshape(-1)
        host = kycm.getHandleFromNumpy(fill)
        kycm.memcpy(host, handle, size, kycm.copyMemType.kycmCT_COPY_TO_DEVICE)
        kycm.freeHost(host)
        return d, handle

    src = device_image(T.kyceIMG_YUV_NV12, W, H, nv12)
    src_rgb = device_image(T.kyceIMG_RGB888, W, H, rgb)
    y, uv = nv12[:H], nv12[H:].reshape(H // 2, W // 2, 2)

    for w, h in ((224, 224), (1280, 720)):
        out = device_image(T.kyceIMG_YUV_NV12, w, h)

        def ours(out=out):
            kyce.resize(R.kyceRESIZE_BILINEAR, *src, *out)

        def theirs(w=w, h=h):
            cv2.resize(y, (w, h), interpolation=cv2.INTER_LINEAR)
            cv2.resize(uv, (w // 2, h // 2), interpolation=cv2.INTER_LINEAR)

        theirs_time, ours_time = interleaved([theirs, ours], 20)
        report.ratio(f"kyce.resize NV12 1080p->{w}x{h} bilinear / cv2.resize", theirs_time / ours_time, 1.0, True,
                     runs={"ours": ours_time, "cv2": theirs_time})

    out = device_image(T.kyceIMG_RGB888, W, H)
    space = kyce.colorSpace.kyceCOLOR_SPACE_BT601
    theirs_time, ours_time = interleaved(
        [lambda: cv2.cvtColor(nv12, cv2.COLOR_YUV2RGB_NV12),
         lambda: kyce.cvtColor(kyce.colorCvtCode.kyceCOLOR_YUV2RGB_NV12, space, *src, *out)], 10)
    report.ratio("kyce.cvtColor NV12->RGB 1080p / cv2.cvtColor", theirs_time / ours_time, 1.0, True,
                 runs={"ours": ours_time, "cv2": theirs_time})

    out = device_image(T.kyceIMG_RGB888, 224, 224)
    picture = Image.fromarray(rgb)
    theirs_time, ours_time = interleaved(
        [lambda: picture.resize((224, 224), Image.BILINEAR),
         lambda: kyce.resize(R.kyceRESIZE_BILINEAR_PILLOW, *src_rgb, *out)], 5)
    report.ratio("kyce.resize RGB 1080p->224x224 bilinear Pillow / Image.resize", theirs_time / ours_time, 1.0, True,
                 runs={"ours": ours_time, "Pillow": theirs_time})
    for handle in made:
        kycm.free(handle)
