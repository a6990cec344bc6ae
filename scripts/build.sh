#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything into
# ${QUILLON_BUILD_DIR:-build}.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$build" --parallel "$(nproc)"
