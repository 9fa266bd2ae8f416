#!/usr/bin/env bash
# Configures and builds one build folder.
#   scripts/build.sh DIR BUILD_TYPE [extra cmake arguments]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; type="$2"; shift 2
cmake -S "$here" -B "$here/$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
cmake --build "$here/$dir" --parallel "$(nproc)"
