#!/usr/bin/env bash
# Fetches sample media people really have, from Debian's archive, into a cache
# the tests read (${QUILLON_SAMPLES:-/var/cache/quillon/samples}): OpenCV's
# example clips (opencv-doc: box.mp4, cup.mp4, Megamind.avi, vtest.avi,
# tree.avi) and labelme's photos (labelme-examples). The packages are only
# downloaded and unpacked here, not installed: opencv-doc would bring a
# documentation tree and its JavaScript with it. Idempotent: a filled cache
# is only checked.
set -euo pipefail
cache=${QUILLON_SAMPLES:-/var/cache/quillon/samples}
stamp="$cache/.complete-1"
[ -e "$stamp" ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$cache"
cd "$work"
if ! apt-get download opencv-doc labelme-examples >/dev/null 2>&1; then
  apt-get update -qq
  apt-get download opencv-doc labelme-examples >/dev/null
fi
for deb in ./*.deb; do
  dpkg-deb -x "$deb" unpacked
done
docs=unpacked/usr/share/doc
for clip in Megamind.avi vtest.avi tree.avi; do
  cp "$docs/opencv-doc/examples/data/$clip" "$cache/$clip"
done
for clip in box.mp4 cup.mp4; do
  gzip -dc "$docs/opencv-doc/opencv4/html/$clip.gz" >"$cache/$clip"
done
rm -rf "$cache/labelme"
cp -r "$docs/labelme-examples/examples" "$cache/labelme"
touch "$stamp"
echo "sample media in $cache"
