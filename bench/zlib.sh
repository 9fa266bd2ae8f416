#!/usr/bin/env bash
# Ratio and speed of the changed zlib deflate beside the packaged zlib, every
# level, on the filtered scanlines of large corpus PNGs (2 MB from each).
#   bench/zlib.sh [extra bench_zlib options, e.g. --strategy 1 --repeat 3]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
corpus="${VELTO_CORPUS:-$here/../shared/corpus}"
build="${BUILD_DIR:-$here/build-bench}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTO_GUI=OFF \
      -DVELTO_FRAGMENT_FILTER='core/deflate/zlib|bench/zlib' >/dev/null
cmake --build "$build" --parallel 2 --target bench_zlib >/dev/null
"$build/bench_zlib" --max-bytes 2097152 "$@" \
  "$corpus/png/large/debian-softwaves-1920x1080.png" \
  "$corpus/png/large/scan-4160x870-rgb.png" \
  "$corpus/png/large/paper-2048x1536-rgba-idot.png" \
  "$corpus/png/large/exoplanet-phase-curve-3840x2160-rgb.png" \
  "$corpus/png/large/stadt-onex-2048x2253-palette.png" \
  "$corpus/png/large/blackbug-2048x1536-grey-alpha.png" \
  "$corpus/png/kodak/kodim13.png" \
  "$corpus/png/kodak/kodim23.png"
