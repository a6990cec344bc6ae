"""float16 array conversions against numpy's astype on 16 M elements."""
import numpy as np

from harness import interleaved

COUNT = 16 << 20


def run(report):
    import _quillon_pybind11 as quillon

    kycm = quillon.kycm
    rng = np.random.default_rng(1)
    floats = (rng.standard_normal(COUNT) * 1000).astype(np.float32)
    halves = floats.astype(np.float16)
    bits = halves.view(np.uint16)

    ours, numpy_time = interleaved([lambda: kycm.float16ToFloat32Array(bits), lambda: halves.astype(np.float32)])
    report.ratio("float16ToFloat32Array vs numpy astype (16 M)", numpy_time / ours, 3.0, True,
                 f"({ours * 1e3:.1f} ms vs {numpy_time * 1e3:.1f} ms)")
    ours, numpy_time = interleaved([lambda: kycm.float32ToFloat16Array(floats), lambda: floats.astype(np.float16)])
    report.ratio("float32ToFloat16Array vs numpy astype (16 M)", numpy_time / ours, 3.0, True,
                 f"({ours * 1e3:.1f} ms vs {numpy_time * 1e3:.1f} ms)")
