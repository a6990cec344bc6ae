#!/usr/bin/env bash
# The whole test suite: install, build, the host SDK's GoogleTest suite, the
# pip package, the fuzz runs, the multi-thread stress under ThreadSanitizer,
# the Python tests under the address and undefined-behaviour sanitizers, then
# the plain Python tests (whose summary closes the output).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_BUILD_DIR:-$root/build}
export QUILLON_BUILD_DIR=$build

"$root/scripts/build.sh"
"$root/scripts/sample-media.sh"

echo "== host SDK unit tests"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"

echo "== the pip package"
"$root/scripts/package-check.sh"

if [ -x "$root/scripts/fuzz.sh" ]; then
  echo "== fuzzing"
  "$root/scripts/fuzz.sh"
fi

if [ -x "$root/scripts/tsan.sh" ]; then
  echo "== multi-thread stress under ThreadSanitizer"
  "$root/scripts/tsan.sh"
fi

# A failure under the sanitizers still lets the plain run report.
sanitized=0
if [ "${QUILLON_SKIP_SANITIZER:-0}" != 1 ]; then
  echo "== Python tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  "$root/scripts/sanitize.sh" "$@" || sanitized=$?
fi

echo "== Python tests"
cd "$root"
# The hostile-argument sweep has just run under the sanitizers, which see more
# than a plain run can; it runs here only when they were skipped.
skip=()
if [ "${QUILLON_SKIP_SANITIZER:-0}" != 1 ]; then
  skip=(--deselect tests/python/test_hostile_arguments.py::test_no_hostile_argument_kills_the_interpreter)
fi
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python "${skip[@]}" "$@"
if [ "$sanitized" != 0 ]; then
  echo "the Python tests failed under the sanitizers (above)" >&2
  exit "$sanitized"
fi
