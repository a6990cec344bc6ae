#!/usr/bin/env bash
# Builds the fuzz targets of the file parsers with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer), seeds them with small
# streams and pictures made by ffmpeg and Pillow, and runs each for a bounded
# time. Any crash, sanitizer report or failed check makes the script fail.
#   QUILLON_FUZZ_SECONDS  time per target (default 30)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLON_BUILD_DIR:-$root/build}
out=$build/fuzz
seconds=${QUILLON_FUZZ_SECONDS:-30}
mkdir -p "$out/bin" "$out/seeds/nal" "$out/seeds/jpeg" "$out/corpus/nal" "$out/corpus/jpeg" "$out/artifacts"

flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -fno-omit-frame-pointer -I"$root/python/src")
build_target() {  # name, parser (its header and source are python/src/kyme/<parser>.h and .cpp)
  local name=$1 parser=$2
  local binary="$out/bin/$name"
  local sources=("$root/tests/fuzz/$name.cpp" "$root/python/src/kyme/$parser.cpp")
  local newer=0
  for file in "${sources[@]}" "$root/python/src/kyme/$parser.h" "$0"; do
    if [ ! -e "$binary" ] || [ "$file" -nt "$binary" ]; then newer=1; fi
  done
  if [ "$newer" = 1 ]; then
    clang++ "${flags[@]}" "${sources[@]}" -o "$binary"
  fi
}
build_target nal_cutter_fuzz nal_cutter
build_target jpeg_scan_fuzz jpeg_scan

# Seeds: real encoder output. The cutter's inputs start with two bytes that
# choose its block size and unit limit.
if [ ! -e "$out/seeds/.made" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  src=(-hide_banner -loglevel error -y -f lavfi -i testsrc2=size=64x48:rate=10)
  ffmpeg "${src[@]}" -frames:v 4 -c:v libx264 -x264-params slices=2 -f h264 "$tmp/a.h264"
  ffmpeg "${src[@]}" -frames:v 3 -c:v libx265 -x265-params log-level=error -f hevc "$tmp/b.hevc"
  ffmpeg "${src[@]}" -frames:v 1 -c:v mjpeg "$tmp/c.jpg"
  printf '\x07\x40' | cat - "$tmp/a.h264" > "$out/seeds/nal/h264"
  printf '\x20\xff' | cat - "$tmp/b.hevc" > "$out/seeds/nal/hevc"
  printf '\x00\x01\x00\x00\x00\x01\x67\x00\x00\x00\x00\x00\x01\x68\x00\x00\x01' > "$out/seeds/nal/codes"
  cp "$tmp/c.jpg" "$out/seeds/jpeg/baseline.jpg"
  /usr/bin/python3 - "$tmp/c.jpg" "$out/seeds/jpeg" <<'PY'
import io, sys
from PIL import Image
image = Image.open(sys.argv[1])
image.save(sys.argv[2] + "/progressive.jpg", progressive=True, quality=60)
thumb = io.BytesIO()
image.resize((8, 6)).save(thumb, "JPEG", quality=50)
thumb = thumb.getvalue()
main = open(sys.argv[2] + "/progressive.jpg", "rb").read()
# A JFXX extension segment carrying a JPEG-coded thumbnail, after SOI.
app0 = b"JFXX\x00\x10" + thumb
segment = b"\xff\xe0" + (len(app0) + 2).to_bytes(2, "big") + app0
open(sys.argv[2] + "/jfxx.jpg", "wb").write(main[:2] + segment + main[2:] + b"trailing")
PY
  touch "$out/seeds/.made"
fi

run_target() {  # name, corpus, seeds
  local name=$1 log="$out/$1.log"
  echo "fuzzing $name for ${seconds}s"
  if ! "$out/bin/$name" -max_total_time="$seconds" -max_len=16384 -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$out/artifacts/$name-" "$2" "$3" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz target $name failed; see $log and $out/artifacts" >&2
    return 1
  fi
  grep -E "stat::number_of_executed_units|Done" "$log" | tail -n 2 || true
}
status=0
run_target nal_cutter_fuzz "$out/corpus/nal" "$out/seeds/nal" || status=1
run_target jpeg_scan_fuzz "$out/corpus/jpeg" "$out/seeds/jpeg" || status=1
exit $status
