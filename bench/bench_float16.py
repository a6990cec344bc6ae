"""float16 array conversions against numpy's astype on 16 M elements. Runs
alternate; each ratio is of the medians, with min/median/max of each side and
the load average. numpy's speed depends on the environment (OPENBLAS_*
variables set for old OpenBLAS builds slow it down); run this bench as the
environment notes say when comparing against numpy."""
import numpy as np

from harness import interleaved_runs, load_average, spread

COUNT = 16 << 20


def run(report):
    import _quillon_pybind11 as quillon

    kycm = quillon.kycm
    rng = np.random.default_rng(1)
    floats = (rng.standard_normal(COUNT) * 1000).astype(np.float32)
    halves = floats.astype(np.float16)
    bits = halves.view(np.uint16)

    for name, ours_fn, numpy_fn in [
        ("float16ToFloat32Array vs numpy astype (16 M)", lambda: kycm.float16ToFloat32Array(bits),
         lambda: halves.astype(np.float32)),
        ("float32ToFloat16Array vs numpy astype (16 M)", lambda: kycm.float32ToFloat16Array(floats),
         lambda: floats.astype(np.float16)),
    ]:
        load = load_average()
        ours, theirs = interleaved_runs([ours_fn, numpy_fn], 1, 9)
        report.ratio(name, np.median(theirs) / np.median(ours), 3.0, True,
                     f"(ours {spread(ours)}, numpy {spread(theirs)}; load {load})")
