"""Writes the type stubs of _quillon_pybind11 from a built module.

    python3 python/make_stubs.py MODULE_DIR OUT_DIR

MODULE_DIR holds the built extension module (with the libraries it needs);
OUT_DIR receives __init__.pyi and one stub per submodule. mypy's stubgen reads
the signatures from the docstrings the binding layer writes; what it emits is
then made valid for `mypy --strict`: handles, which the module passes as
capsules (or None, or an object of its classes), become an alias of Any;
numpy arrays name their element type; bare containers get type arguments.
"""
import os
import pathlib
import re
import sys
import tempfile
import types

MODULE = "_quillon_pybind11"
TYPING_NAMES = ("Any", "Callable", "ClassVar", "Dict", "Iterable", "Iterator", "List",
                "Optional", "Sequence", "Tuple", "Union", "overload")
HANDLE = "_Capsule"


def in_type_position(name):
    """Matches NAME where it is a type: after an annotation colon, a return
    arrow, an opening bracket or a comma (not a parameter's own name, which a
    colon follows), and not already followed by type arguments."""
    return re.compile(rf"(?:(?<=-> )|(?<=: )|(?<=\[)|(?<=,)|(?<=, )){re.escape(name)}\b(?![\[.\w]|:(?! \.\.\.))")


# The binding layer's names for Python types that have no type arguments in
# its signatures, or no name in typing at all.
BINDING_TYPES = [(in_type_position(name), typed) for name, typed in (
    ("capsule", HANDLE),
    ("list", "List[Any]"),
    ("dict", "Dict[Any, Any]"),
    ("tuple", "Tuple[Any, ...]"),
    ("sequence", "Sequence[Any]"),
    ("iterable", "Iterable[Any]"),
    ("iterator", "Iterator[Any]"),
    ("function", "Callable[..., Any]"),
    ("buffer", "Any"),
    ("numpy.ndarray", "numpy.typing.NDArray[Any]"),
)]
NDARRAY = re.compile(r"\bnumpy\.ndarray\[")
# Records that functions take by pointer and accept as None (a null pointer:
# "no extended parameters").
NULLABLE_RECORDS = re.compile(r"(?<=: )(encExtendedParams)\b(?=[,)])")
CLASS = re.compile(r"^class (\w+)")


def tidy(text):
    """The stub of one submodule, valid for mypy --strict."""
    lines, current = [], None
    for line in text.splitlines():
        if line.startswith("from typing import "):
            continue
        match = CLASS.match(line)
        if match:
            current = match.group(1)
        elif not line.startswith(" "):
            current = None
        # The binding layer's enumeration internals: the members by name, and
        # a private table that is not part of the interface.
        if line.strip().startswith("__entries:"):
            continue
        if current and line.strip().startswith("__members__: ClassVar[dict]"):
            line = line.replace("ClassVar[dict]", f"ClassVar[Dict[str, {current}]]")
        for pattern, typed in BINDING_TYPES:
            line = pattern.sub(typed, line)
        line = NDARRAY.sub("numpy.typing.NDArray[", line)
        if line.lstrip().startswith("def "):
            line = NULLABLE_RECORDS.sub(r"Optional[\1]", line)
        lines.append(line)
    imports = [line for line in lines if line.startswith(("import ", "from "))]
    body = "\n".join(line for line in lines if line not in imports).strip("\n")
    if "numpy.typing." in body:
        imports.append("import numpy.typing")
    used = [n for n in TYPING_NAMES if re.search(rf"\b{n}\b", body)]
    if ("Any" in body or HANDLE in body) and "Any" not in used:
        used = sorted(used + ["Any"], key=TYPING_NAMES.index)
    header = ["# Generated from the built module by python/make_stubs.py.", ""]
    if used:
        header.append(f"from typing import {', '.join(used)}")
    header += sorted(imports)
    if HANDLE in body:
        header += ["", "# A handle: a capsule, None for a null pointer, or an object of the",
                   "# module's classes standing for the address of its record.",
                   f"{HANDLE} = Any"]
    return "\n".join(header) + "\n\n" + body + "\n"


def package_stub(module):
    """The stub of the top-level module: its submodules and text attributes."""
    submodules = [name for name, value in vars(module).items() if isinstance(value, types.ModuleType)]
    lines = ["# Generated from the built module by python/make_stubs.py.", ""]
    lines += [f"from . import {name} as {name}" for name in submodules]
    lines.append("")
    lines += [f"{name}: str" for name in ("__version__", "__time_compiled__") if hasattr(module, name)]
    return "\n".join(lines) + "\n", submodules


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    module_dir, out_dir = (pathlib.Path(a).resolve() for a in argv)
    # The module and stubgen's inspection (in a child process) both import
    # from MODULE_DIR, never from an installed copy.
    sys.path.insert(0, str(module_dir))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), os.environ.get("PYTHONPATH")]))
    module = __import__(MODULE)
    if pathlib.Path(module.__file__).resolve().parent != module_dir:
        sys.exit(f"{MODULE} was imported from {module.__file__}, not from {module_dir}")
    try:
        from mypy.stubgen import generate_stubs, parse_options
    except ImportError:
        sys.exit("making the type stubs needs mypy (Debian package python3-mypy)")

    with tempfile.TemporaryDirectory() as scratch:
        generate_stubs(parse_options(["--quiet", "-p", MODULE, "-o", scratch]))
        generated = pathlib.Path(scratch) / MODULE
        init, submodules = package_stub(module)
        out_dir.mkdir(parents=True, exist_ok=True)
        (out_dir / "__init__.pyi").write_text(init)
        for name in submodules:
            stub = generated / f"{name}.pyi"
            if not stub.is_file():
                sys.exit(f"stubgen wrote no stub for {MODULE}.{name}")
            (out_dir / f"{name}.pyi").write_text(tidy(stub.read_text()))


if __name__ == "__main__":
    main(sys.argv[1:])
