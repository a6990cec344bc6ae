#!/usr/bin/env bash
# The main job: builds the module and runs the video analytics pipeline
# (the package quillon.pipeline; arguments are passed on, --help lists them).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_BUILD_DIR:-$root/build}
export QUILLON_BUILD_DIR=$build

"$root/scripts/build.sh" >/dev/null
# Run by file name, so that SIGINT and SIGTERM are answered from its first line.
PYTHONPATH="$build/python:$root/python${PYTHONPATH:+:$PYTHONPATH}" \
    /usr/bin/python3 "$root/python/quillon/pipeline/__main__.py" "$@"
