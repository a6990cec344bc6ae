#!/usr/bin/env bash
# The package as a user gets it: builds the wheel from the build tree,
# installs it into a fresh virtual environment and uses it from a folder
# outside the clone (import, the commands, python3 -m quillon), checks the
# shipped stubs (they match the module, type the examples under mypy --strict
# and refuse a wrong argument), then uninstalls it and expects nothing left.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_BUILD_DIR:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

QUILLON_BUILD_DIR=$build /usr/bin/python3 -m pip wheel --quiet --no-build-isolation --no-deps \
  --wheel-dir "$work/dist" "$root" >"$work/wheel.log" 2>&1 || { cat "$work/wheel.log" >&2; fail "no wheel"; }
wheel=$(echo "$work"/dist/quillon-*.whl)
echo "wheel: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB"

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
venv=$work/venv
find "$venv" | sort >"$work/before"
"$venv/bin/pip" install --quiet --no-index "$wheel"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')

cd "$work"
"$venv/bin/python" - "$site" <<'EOF'
import pathlib, sys
import _quillon_pybind11
import quillon
import quillon.kycm
from quillon import kycm, kyml
from quillon.kyml import getCardInfo
site = pathlib.Path(sys.argv[1]).resolve()
assert pathlib.Path(_quillon_pybind11.__file__).resolve().parent == site, _quillon_pybind11.__file__
assert kycm is _quillon_pybind11.kycm is quillon.kycm and kyml is _quillon_pybind11.kyml
assert getCardInfo is kyml.getCardInfo and [d.index for d in quillon.devices()] == [0, 1]
import quillon._native  # the package's own extension finds the libraries in quillon.libs
assert pathlib.Path(quillon._native.__file__).resolve().parent == site / "quillon" and callable(quillon.open)
assert quillon.__version__ == _quillon_pybind11.__version__
# libkyme and libkycl open their engines from quillon.libs on the first call.
assert _quillon_pybind11.kyme.systemInitialize() == 0 and _quillon_pybind11.kyme.systemUninitialize() == 0
assert _quillon_pybind11.kycl.getVersion()
EOF
readelf -d "$site"/_quillon_pybind11.*.so | grep -q 'RUNPATH.*\[\$ORIGIN/quillon.libs\]' ||
  fail "the module's run path is not \$ORIGIN/quillon.libs"
loose=$(cd "$site" && ls lib*.so 2>/dev/null || true)
[ -z "$loose" ] || fail "shared libraries loose at the top of site-packages: $loose"
[ "$(cd "$site/quillon.libs" && ls)" = "$(printf '%s\n' libkyce.so libkycl.so libkycl_engine.so libkycm.so libkycore.so \
  libkyme.so libkyme_engine.so libkyml.so)" ] ||
  fail "quillon.libs does not hold the six host SDK libraries and the engines of libkyme and libkycl"
"$venv/bin/quillon-status" --count 1 >status.txt
grep -q '^| Card 0: ' status.txt || { cat status.txt; fail "quillon-status printed no card"; }
"$venv/bin/python" -m quillon >about.txt
grep -q '^devices: [1-9]' about.txt || { cat about.txt; fail "python3 -m quillon printed no device"; }
for command in "$venv"/bin/quillon-*; do
  "$command" --help >/dev/null || fail "$(basename "$command") --help failed"
done

# The stubs shipped are those of the module shipped, and valid themselves.
"$venv/bin/python" "$root/python/make_stubs.py" "$site" "$work/stubs/_quillon_pybind11"
diff -r "$site/_quillon_pybind11-stubs" "$work/stubs/_quillon_pybind11" >&2 ||
  fail "the shipped stubs differ from the module's"
mypy=("$venv/bin/python" -m mypy --strict --config-file "$root/pyproject.toml" --cache-dir "$build/mypy-cache")
(cd "$work/stubs" && "${mypy[@]}" _quillon_pybind11 >/dev/null) || fail "the stubs fail mypy --strict"
"${mypy[@]}" "$root"/examples/*.py
cat >wrong.py <<'EOF'
from quillon import kycm
kycm.setDevice("0")
info = kycm.deviceInfo()
info.deviceType = 14
EOF
if "${mypy[@]}" wrong.py >wrong.txt; then fail "mypy accepted wrong argument types"; fi
grep -q 'Argument 1 to "setDevice" has incompatible type "str"; expected "int"' wrong.txt &&
  grep -q 'has type "int", variable has type "deviceType"' wrong.txt || { cat wrong.txt; fail "mypy missed a wrong type"; }

"$venv/bin/pip" uninstall --quiet --yes quillon
find "$venv" | sort >"$work/after"
diff "$work/before" "$work/after" >&2 || fail "pip uninstall left files behind"
echo "package check passed"
