#!/usr/bin/env bash
# APNG benchmark: the engine's "-l" at effort levels 1, 2 and the default
# against apngopt (Debian package, its default: 7-Zip deflate, 15 iterations)
# on the valid animations of the shared corpus (broken/ left out). Prints
# total bytes, wall time and the files whose composed frames differ from the
# input (bench_apng_identity). The engine keeps the input when it cannot make
# it smaller; apngopt always writes, so a larger apngopt output counts as the
# input. rgba16-3f.png is refused by the engine under "-l" (16-bit) and kept.
#   bench/apng.sh [BUILD_DIR]          (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
corpus="$(cd "$here/../shared/corpus" && pwd)"
command -v apngopt >/dev/null || { echo "apngopt missing: scripts/install-deps.sh bench" >&2; exit 1; }
cmake --build "$build" --target core bench_apng_identity >/dev/null
core="$build/core"
identity="$build/bench_apng_identity"

work="$(mktemp -d /tmp/apng-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/input"
awk -F'\t' '$4 == "valid" && $1 ~ /^apng\/[^\/]+$/ {print $1}' "$corpus/MANIFEST.tsv" | while read -r rel; do
  cp "$corpus/$rel" "$work/input/"
done
chmod u+w "$work/input"/*
inputs=("$work"/input/*.png)
total_in=$(cat "${inputs[@]}" | wc -c)
export LOCALAPPDATA="$work/appdata"
mkdir -p "$LOCALAPPDATA"

printf '%-22s %12s %8s %10s  %s\n' tool bytes ratio seconds "frames differ"
printf '%-22s %12d %8s %10s\n' input "$total_in" 1.000 -

run_column() {  # name, then a command that takes IN OUT
  local name="$1"; shift
  local dir="$work/$name"
  mkdir -p "$dir"
  local start end total=0 bad=()
  start=$(date +%s.%N)
  for f in "${inputs[@]}"; do
    "$@" "$f" "$dir/$(basename "$f")" >/dev/null 2>&1 || true
  done
  end=$(date +%s.%N)
  for f in "${inputs[@]}"; do
    out="$dir/$(basename "$f")"
    if [ ! -s "$out" ] || [ "$(stat -c %s "$out")" -ge "$(stat -c %s "$f")" ]; then cp "$f" "$out"; fi
    total=$((total + $(stat -c %s "$out")))
    "$identity" "$f" "$out" >/dev/null || bad+=("$(basename "$f")")
  done
  printf '%-22s %12d %8.3f %10.1f  %s\n' "$name" "$total" "$(echo "$total / $total_in" | bc -l)" \
    "$(echo "$end - $start" | bc -l)" "${bad[*]:-none}"
}

engine() { cp "$1" "$2" && "$core" "${engine_args[@]}" "$2"; }
engine_args=(-l -png-s1); run_column "velto -l -png-s1" engine
engine_args=(-l -png-s2); run_column "velto -l -png-s2" engine
engine_args=(-l); run_column "velto -l" engine
engine_args=(); run_column "velto (automatic)" engine
# apngopt reads an argument that starts with "/" as a switch: give it paths
# relative to the work folder.
apngopt_run() { (cd "$work" && apngopt "${1#"$work"/}" "${2#"$work"/}"); }
run_column "apngopt" apngopt_run
