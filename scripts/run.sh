#!/usr/bin/env bash
# The main job: builds the module and runs the video analytics pipeline
# (examples/pipeline.py; arguments are passed on, --help lists them).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_BUILD_DIR:-$root/build}
export QUILLON_BUILD_DIR=$build

"$root/scripts/build.sh" >/dev/null
PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 "$root/examples/pipeline.py" "$@"
