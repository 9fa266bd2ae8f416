#!/usr/bin/env bash
# Builds bench_multilevel in its own Release folder and runs it on the
# filtered scanlines of a few large PNG files of the shared corpus.
#   bench/multilevel.sh [--cap BYTES] [--repeat N]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build-bench-multilevel"
corpus="${VELTO_CORPUS:-$here/../shared/corpus}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTO_GUI=OFF \
      -DVELTO_FRAGMENT_FILTER='core/deflate/multilevel|bench/multilevel' >/dev/null
cmake --build "$build" --parallel 2 --target bench_multilevel >/dev/null
files=(
  "$corpus/png/photo/fantasy-digital-painting-1488x1486.png"
  "$corpus/png/large/scan-4160x870-rgb.png"
  "$corpus/png/large/stadt-onex-2048x2253-palette.png"
  "$corpus/png/large/paper-2048x1536-rgba-idot.png"
  "$corpus/png/large/debian-softwaves-1920x1080.png"
  "$corpus/png/kodak/kodim13.png"
)
exec "$build/bench_multilevel" "$@" "${files[@]}"
