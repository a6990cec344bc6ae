"""Builds the wheel of the package `quillon` with the project's own CMake build.

The extension module and the host SDK libraries are installed by CMake into a
staging folder; the module is laid out at the top of the wheel and the
libraries in the package's own folder quillon.libs beside it, where the
module finds them through the run path $ORIGIN/quillon.libs (and they find
each other through $ORIGIN). Type stubs are
generated from that very module. quillon-status's source is the example
program card_status.py, copied into the package so there is one source;
quillon-pipeline runs the package quillon.pipeline.

QUILLON_BUILD_DIR names an existing, configured build tree (scripts/build.sh
makes one) to build in and take the binaries from; without it the wheel is
built in a tree of its own under build-pip/.
"""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

ROOT = pathlib.Path(__file__).resolve().parent
MODULE = "_quillon_pybind11"
# The engines of libkyme and libkycl are opened by them from their own folder.
LIBRARIES = ("kycore", "kycm", "kyme", "kycl", "kyce", "kyml", "kyme_engine", "kycl_engine")
LIBRARY_FOLDER = "quillon.libs"
# Command name -> (example program, module of the package it is copied to).
COMMANDS = {
    "quillon-status": ("card_status.py", "_status"),
}
# An example may be absent from a checkout; its command then is too.
PRESENT = {name: entry for name, entry in COMMANDS.items() if (ROOT / "examples" / entry[0]).is_file()}
# Commands whose code lives in the package itself.
PACKAGE_COMMANDS = ["quillon-pipeline = quillon.pipeline.__main__:main"]


def run(*command, env=None):
    print(" ".join(str(part) for part in command), flush=True)
    subprocess.run([str(part) for part in command], check=True, env=env)


class BuildCommands(build_py):
    """Copies the example programs behind the commands into the package."""

    def run(self):
        super().run()
        package = pathlib.Path(self.build_lib) / "quillon"
        for example, module in PRESENT.values():
            self.copy_file(str(ROOT / "examples" / example), str(package / f"{module}.py"))


class CMakeBuild(build_ext):
    """Builds and installs with CMake, then lays the shared objects out for the wheel."""

    def build_extension(self, ext):
        expected = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        target = expected.parent
        tree = self.cmake_tree()
        run("cmake", "--build", tree, "--parallel", str(os.cpu_count() or 1))

        staging = pathlib.Path(self.build_temp).resolve() / "install"
        shutil.rmtree(staging, ignore_errors=True)
        run("cmake", "--install", tree, "--prefix", staging, "--strip")

        modules = sorted(staging.rglob(f"{MODULE}.*.so"))
        if [m.name for m in modules] != [expected.name]:
            sys.exit(f"the build tree {tree} holds {[m.name for m in modules] or 'no module'}, "
                     f"not {expected.name}: it was configured for another Python (reconfigure it "
                     f"with -DPython3_EXECUTABLE={sys.executable}, or unset QUILLON_BUILD_DIR)")
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(modules[0], expected)
        libraries = target / LIBRARY_FOLDER
        shutil.rmtree(libraries, ignore_errors=True)
        libraries.mkdir()
        for library in LIBRARIES:
            found = sorted(staging.rglob(f"lib{library}.so"))
            if len(found) != 1:
                sys.exit(f"the build tree {tree} installed {len(found)} copies of lib{library}.so")
            shutil.copy2(found[0], libraries / found[0].name)
            (target / found[0].name).unlink(missing_ok=True)  # where an earlier layout put it
        # Installed, the module looks for the libraries in the library folder;
        # in the wheel they lie in the package's folder beside it.
        run("cmake", f"-DFILE={expected}", f"-DRUNPATH=$ORIGIN/{LIBRARY_FOLDER}", "-P",
            ROOT / "python" / "set_origin_runpath.cmake")
        self.copy_package_helpers(staging, target)

        stubs = target / f"{MODULE}-stubs"
        shutil.rmtree(stubs, ignore_errors=True)
        run(sys.executable, ROOT / "python" / "make_stubs.py", target, stubs)

    def copy_package_helpers(self, staging, target):
        """The package's own extension (quillon._native) goes into the
        package folder, beside the folder of the libraries it links (its
        installed run path names both that folder and the library folder of
        an installation by CMake)."""
        suffix = pathlib.Path(self.get_ext_fullpath(MODULE)).name[len(MODULE):]
        found = sorted(staging.rglob(f"quillon/_native{suffix}"))
        if len(found) != 1:
            sys.exit(f"the installation in {staging} holds {len(found)} copies of quillon/_native{suffix}")
        copied = target / "quillon" / found[0].name
        copied.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(found[0], copied)

    def cmake_tree(self):
        given = os.environ.get("QUILLON_BUILD_DIR")
        if given:
            tree = pathlib.Path(given).resolve()
            if not (tree / "CMakeCache.txt").is_file():
                sys.exit(f"QUILLON_BUILD_DIR={given} is not a configured build tree "
                         "(make one with scripts/build.sh, or unset the variable)")
            return tree
        tree = pathlib.Path(self.build_temp).resolve() / "cmake"
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        run("cmake", "-S", ROOT, "-B", tree, *generator, "-DCMAKE_BUILD_TYPE=Release",
            "-DQUILLON_BUILD_TESTS=OFF", f"-DPython3_EXECUTABLE={sys.executable}")
        return tree


setup(
    packages=["quillon", "quillon.media", "quillon.pipeline"],
    package_dir={"": "python"},
    package_data={"quillon": ["py.typed", "*.pyi"]},
    ext_modules=[Extension(MODULE, sources=[])],
    cmdclass={"build_py": BuildCommands, "build_ext": CMakeBuild},
    entry_points={"console_scripts": [f"{name} = quillon.{module}:main"
                                      for name, (_, module) in PRESENT.items()] + PACKAGE_COMMANDS},
    options={"build": {"build_base": str(ROOT / "build-pip")}},
    zip_safe=False,
)
