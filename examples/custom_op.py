"""Load a plug-in of customized ops, list its ops, and halve an NV12 picture
with the example plug-in's `nv12_scale` op.

    python3 examples/custom_op.py                          # a generated 1280x720 picture
    python3 examples/custom_op.py in.nv12 1280 720 out.nv12 --zoom 2
    python3 examples/custom_op.py --plugin /path/libmy_ops.so --list

The picture files are raw NV12 without padding. The op is configured with the
36-byte example block (input shape, output shape, zoom factor); the fixed
example callback table is shown too. The op runs through `kyce.executeOp`.
"""
import argparse
import os
import pathlib
import sys
import tempfile
from typing import Any

import numpy as np

import _quillon_pybind11 as quillon

kycm, kyce = quillon.kycm, quillon.kyce
ROOT = pathlib.Path(__file__).resolve().parents[1]


PLUGIN = "libkyce_nv12_scale.so"


def default_plugin() -> str:
    """The example plug-in where a build or an installation puts it: beside the
    module in a build tree (<build>/plugins), under <prefix>/lib/quillon/plugins
    after `cmake --install`. The pip package does not ship it."""
    module = pathlib.Path(quillon.__file__).resolve().parent
    places = [pathlib.Path(os.environ.get("QUILLON_BUILD_DIR", ROOT / "build")) / "plugins",
              module.parent / "plugins", module.parents[1] / "quillon" / "plugins"]
    for place in places:
        if (place / PLUGIN).is_file():
            return str(place / PLUGIN)
    raise SystemExit(f"{PLUGIN}, the example plug-in, is not installed with the package: build it in a clone "
                     f"(./scripts/build.sh makes build/plugins/{PLUGIN}) and give it with --plugin")


def shape(width: int, height: int) -> Any:
    s = kyce.yuvNv12Shape()
    s.width, s.height, s.w_pitch, s.h_pitch = width, height, width, height
    return s


def generated_picture(path: pathlib.Path, width: int, height: int) -> None:
    x, y = np.meshgrid(np.arange(width), np.arange(height))
    luma = ((x + y) * 255 // (width + height)).astype(np.uint8)
    chroma = np.full((height // 2, width), 128, np.uint8)
    chroma[:, 0::2] = (np.arange(width // 2) * 255 // (width // 2)).astype(np.uint8)
    path.write_bytes(luma.tobytes() + chroma.tobytes())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?")
    parser.add_argument("width", nargs="?", type=int, default=1280)
    parser.add_argument("height", nargs="?", type=int, default=720)
    parser.add_argument("output", nargs="?", default="scaled.nv12")
    parser.add_argument("--plugin", help="the plug-in (default: the example plug-in of a build or installation)")
    parser.add_argument("--zoom", type=float, default=1.0)
    parser.add_argument("--list", action="store_true", help="only list the plug-in's ops")
    args = parser.parse_args()
    plugin = args.plugin or default_plugin()

    kycm.initialize()
    try:
        info = kyce.loadCustomizedOp(plugin)
    except RuntimeError as error:
        raise SystemExit(f"{plugin}: not a plug-in of customized ops that can be loaded ({error})") from None
    names = [kyce.getCustomizedOpName(info, i) for i in range(kyce.getCustomizedOpCount(info))]
    print(f"{plugin}: {', '.join(names)}")
    if args.list:
        return 0

    op = kyce.createCustomizedOp(info, "nv12_scale")
    # The callback table describes 1280x720 in and out; the block below replaces it.
    print("callback configuration:", kyce.setCustomizedOpCfgCallbackExample(op))
    width, height = args.width, args.height
    config = kyce.customCfgExample()
    config.iimage_shape, config.oimage_shape = shape(width, height), [shape(width // 2, height // 2)]
    config.scale = args.zoom
    print("block configuration:", kyce.setCustomizedOpConfigExample(op, config))
    with tempfile.TemporaryDirectory() as folder:
        source = pathlib.Path(args.input) if args.input else pathlib.Path(folder) / "generated.nv12"
        if not args.input:
            generated_picture(source, width, height)
        picture = kyce.readImageFile(str(source), 0, 0, width * height * 3 // 2)
        size = (width // 2) * (height // 2) * 3 // 2
        scaled = kycm.malloc(size)
        code = kyce.executeOp(op, picture, scaled)
        if code != 0:
            print(f"executeOp: {code}", file=sys.stderr)
            return 1
        kyce.saveHandelToImage(size, scaled, args.output)
        print(f"{args.output}: {width // 2}x{height // 2}, md5 {kyce.genFileMd5sum(args.output)}")
        kycm.free(picture), kycm.free(scaled)
    kyce.destroyOp(op)
    kyce.unloadCustomizedOps(info)
    kyce.destroyCustomizedOpInfo(info)
    return 0


if __name__ == "__main__":
    sys.exit(main())
