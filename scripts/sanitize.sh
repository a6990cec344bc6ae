#!/usr/bin/env bash
# Builds the host SDK, the module and the test-control module a second time
# with AddressSanitizer and UndefinedBehaviorSanitizer into
# ${QUILLON_ASAN_BUILD_DIR:-build-asan}, then runs the Python suite against
# that build. The interpreter itself is not instrumented, so the compiler's
# own ASan runtime is preloaded. Any sanitizer report stops the process and
# fails the run. Tests marked no_sanitizer (they measure memory or expect a
# raw fault) are left out. Extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_ASAN_BUILD_DIR:-$root/build-asan}

# Unoptimised: the module's pybind11 units compile in half the time (19
# against 34 s each), which saves about three minutes of CI, while the tests
# take 26 s longer.
flags="-O0 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPython3_EXECUTABLE=/usr/bin/python3 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target _quillon_pybind11 _quillon_testctl kyce_nv12_scale quillon_native

# The C++ runtime is preloaded too: the sanitizer wraps exception throwing
# only when the C++ runtime is there as it starts.
runtime="$(${CXX:-g++} -print-file-name=libasan.so) $(readlink -f "$(${CXX:-g++} -print-file-name=libstdc++.so)")"
# Reports go to files, as pytest captures the standard error of the process
# that dies. The interpreter's own allocations are never freed at exit, so leak checking
# stays off; everything else halts at the first report with a nonzero status.
reports=$build/sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
export ASAN_OPTIONS=log_path=$reports/asan:detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:allocator_may_return_null=1:detect_stack_use_after_return=0:strict_init_order=1:check_initialization_order=1
export UBSAN_OPTIONS=log_path=$reports/ubsan:halt_on_error=1:print_stacktrace=1:exitcode=86
export QUILLON_BUILD_DIR=$build
export QUILLON_SANITIZER=1
cd "$root"
status=0
LD_PRELOAD="$runtime" /usr/bin/python3 -m pytest -q -p no:cacheprovider -m "not no_sanitizer" tests/python "$@" || status=$?
# The hostile-argument sweep's workers report on their own standard error,
# which the sweep reads and judges.
# Warnings (a huge allocation refused) are not reports.
if grep -qlE "ERROR: AddressSanitizer|runtime error:|CHECK failed" "$reports"/* 2>/dev/null; then
  cat "$reports"/* >&2
  echo "sanitizer reports above (kept in $reports)" >&2
  status=1
fi
exit $status
