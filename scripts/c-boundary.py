#!/usr/bin/env python3
"""No C++ exception leaves a C function of the host SDK: every exported
function of a library is a function-try-block closed by that library's catch
(sdk/core/include/kycore/c_boundary.h).

    scripts/c-boundary.py check LIB [LIBRARY.so]   every function LIBRARY.so exports
                                                   (or, without it, every one LIB's
                                                   sources mark for export) is so written
    scripts/c-boundary.py fix FILE...              makes the exported functions of
                                                   FILE (sdk/LIB/...) so; then clang-format

It reads the sources: comments and literals are blanked first, so braces and
names inside them do not count."""
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
LIBRARIES = ("kycm", "kyme", "kycl", "kyce", "kyml")
HEADER = '#include "kycore/c_boundary.h"'

LITERAL_OR_COMMENT = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
EXPORTED = re.compile(r"\b(?:KY_API|KY_EXPORT)\s+[\w:<>*&\s]*?\b(ky(?:cm|me|cl|ce|ml)\w*)\s*\(")


def blank(text):
    """The text with comments and literals turned into spaces (newlines kept)."""
    return LITERAL_OR_COMMENT.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def matching(masked, start, opening, closing):
    """Index of the bracket closing the one at `start`."""
    depth = 0
    for i in range(start, len(masked)):
        if masked[i] == opening:
            depth += 1
        elif masked[i] == closing:
            depth -= 1
            if depth == 0:
                return i
    raise ValueError(f"unbalanced {opening} at offset {start}")


def definitions(text):
    """(name, index of the body's '{', whether 'try' precedes it, index of
    its '}', the word after the '}') for every function marked for export."""
    masked = blank(text)
    found = []
    for match in EXPORTED.finditer(masked):
        after = matching(masked, match.end() - 1, "(", ")") + 1
        head = re.compile(r"\s*(try\s*)?(\{|;)").match(masked, after)
        if head is None or head.group(2) == ";":
            continue  # a declaration
        body = head.end() - 1
        end = matching(masked, body, "{", "}")
        closer = re.compile(r"\s*(\w+)").match(masked, end + 1)
        found.append((match.group(1), body, head.group(1) is not None, end, closer.group(1) if closer else ""))
    return found


def sources(library):
    return sorted((ROOT / "sdk" / library).glob("*.cpp"))


def exported_symbols(path):
    """The C (unmangled) functions a shared library exports."""
    listing = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    return {fields[2] for fields in (line.split() for line in listing.stdout.splitlines())
            if len(fields) == 3 and fields[1] in "TW" and not fields[2].startswith("_Z")}


def check(library, shared_object=None):
    """What is wrong, one line each; empty when every function is guarded."""
    closers = {f"{library.upper()}_CATCH", "KY_CATCH_AS"}
    seen, problems = {}, []
    for path in sources(library):
        for name, _, has_try, _, closer in definitions(path.read_text()):
            where = path.relative_to(ROOT)
            if name in seen:
                problems.append(f"{name}: defined in {seen[name]} and {where}")
            seen[name] = where
            if not has_try or closer not in closers:
                problems.append(f"{name} ({where}): not a function-try-block closed by {library.upper()}_CATCH")
    wanted = exported_symbols(shared_object) if shared_object else set(seen)
    problems += [f"{name}: exported but not defined in sdk/{library}" for name in sorted(wanted - set(seen))]
    return problems


def fix(path):
    library = path.resolve().parent.name
    text = path.read_text()
    # From the last function back, so earlier offsets stay valid.
    for _, body, has_try, end, closer in reversed(definitions(text)):
        if not has_try:
            text = text[:end + 1] + f"\n{library.upper()}_CATCH" + text[end + 1:]
            text = text[:body].rstrip() + " try {" + text[body + 1:]
    if HEADER not in text:
        includes = list(re.finditer(r'^#include "[^"]+"\n', text, re.M))
        at = includes[-1].end() if includes else 0
        text = text[:at] + HEADER + "\n" + text[at:]
    path.write_text(text)


def main(argv):
    if len(argv) >= 2 and argv[0] == "check" and argv[1] in LIBRARIES and len(argv) <= 3:
        problems = check(argv[1], argv[2] if len(argv) == 3 else None)
        print("\n".join(problems) or f"{argv[1]}: every exported function keeps exceptions inside")
        return 1 if problems else 0
    if len(argv) >= 2 and argv[0] == "fix":
        for name in argv[1:]:
            fix(pathlib.Path(name))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
