"""genFileMd5sum of a 1 GiB file against coreutils' md5sum on the same file
(page cache warm for both)."""
import os
import subprocess
import tempfile

import numpy as np

from harness import interleaved

SIZE = 1 << 30


def run(report):
    import _quillon_pybind11 as quillon

    with tempfile.TemporaryDirectory(dir=os.environ.get("QUILLON_BENCH_DIR", "/tmp")) as folder:
        path = os.path.join(folder, "data")
        block = np.random.default_rng(5).integers(0, 256, 64 << 20, np.uint8).tobytes()
        with open(path, "wb") as out:
            for _ in range(SIZE // len(block)):
                out.write(block)

        def module():
            quillon.kyce.genFileMd5sum(path)

        def coreutils():
            subprocess.run(["md5sum", path], check=True, stdout=subprocess.DEVNULL)

        assert quillon.kyce.genFileMd5sum(path) == subprocess.run(
            ["md5sum", path], check=True, capture_output=True, text=True).stdout.split()[0]
        ours, theirs = interleaved([module, coreutils], repeat=5)
        report.ratio("genFileMd5sum 1 GiB vs md5sum", theirs / ours, 0.9, True,
                     f"{SIZE / ours / 1e6:.0f} MB/s vs {SIZE / theirs / 1e6:.0f} MB/s",
                     runs={"ours": ours, "md5sum": theirs})
