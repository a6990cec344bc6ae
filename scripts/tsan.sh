#!/usr/bin/env bash
# Builds the host SDK's libraries that the stress uses and the multi-thread
# stress of the C interface with clang's ThreadSanitizer, in a build folder of
# their own, and runs the stress. Any ThreadSanitizer report or failed check
# makes the script fail.
#   QUILLON_TSAN_BUILD_DIR  the build folder (default: the build folder's name
#                           with -tsan appended, build-tsan)
#   QUILLON_STRESS_SECONDS  time per stress case (default 3)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_TSAN_BUILD_DIR:-${QUILLON_BUILD_DIR:-$root/build}-tsan}
mkdir -p "$build"
log=$build/build.log

# Only the libraries the stress links (core, kycm, kyme, kyml, kycl) and the stress.
flags="-fsanitize=thread -g -O1 -fno-omit-frame-pointer"
if [ ! -e "$build/build.ninja" ]; then
  if ! CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
      -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread -DPython3_EXECUTABLE=/usr/bin/python3 >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "configuring the ThreadSanitizer build failed; see $log" >&2
    exit 1
  fi
fi
if ! cmake --build "$build" --target sdk_stress --parallel "$(nproc)" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "the ThreadSanitizer build failed; see $log" >&2
  exit 1
fi

# halt_on_error: the first report ends the run with ThreadSanitizer's exit
# code (66), so any report fails the script.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
QUILLON_STRESS_SECONDS=${QUILLON_STRESS_SECONDS:-3} QUILLON_SHARED_STATE=${QUILLON_SHARED_STATE:-0} \
  "$build/bin/sdk_stress" --gtest_brief=1
