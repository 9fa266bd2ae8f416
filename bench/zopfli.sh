#!/usr/bin/env bash
# Compares the Zopfli-style compressor (mode 5, 15 iterations) with Debian's
# `zopfli --deflate --i15` on filtered PNG scanlines and text: output bytes
# and wall time, single-threaded and with all cores.
#   bench/zopfli.sh [BUILD_DIR]    (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
corpus="$(cd "$here/../shared/corpus" && pwd)"
bench="$build/bench_zopfli"
[ -x "$bench" ] || cmake --build "$build" --target bench_zopfli
command -v zopfli >/dev/null || { echo "zopfli (Debian package) is not installed"; exit 1; }
cores="$(nproc)"
work="$(mktemp -d /tmp/zopfli-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Inputs: filtered scanlines of a few corpus PNGs, and text.
for png in grey/radial-gradients-512.png large/drawing-1625x1625-palette.png kodak/kodim23.png \
           large/debian-softwaves-1920x1080.png; do
  name="$(basename "$png" .png).raw"
  "$bench" --scanlines "$corpus/png/$png" "$work/$name"
done
cp /usr/share/common-licenses/GPL-3 "$work/GPL-3.txt"
cat /usr/share/common-licenses/* "$here"/core/deflate/*.cpp > "$work/licences-and-code.txt"

printf '%-30s %9s | %9s %7s | %9s %7s | %9s %7s | %7s\n' input bytes zopfli-i15 time velto-1t time "velto-${cores}t" time saved
for f in "$work"/*.raw "$work"/*.txt; do
  name="$(basename "$f")"
  size="$(stat -c %s "$f")"
  start="$(date +%s.%N)"
  zopfli --deflate --i15 -c "$f" > "$work/ref.deflate"
  ref_time="$(echo "$(date +%s.%N) - $start" | bc)"
  ref_bytes="$(stat -c %s "$work/ref.deflate")"
  read -r _ _ one_bytes one_time <<<"$("$bench" --mode 5 --iterations 15 --threads 1 "$f")"
  read -r _ _ all_bytes all_time <<<"$("$bench" --mode 5 --iterations 15 --threads "$cores" "$f")"
  printf '%-30s %9d | %9d %7.2f | %9d %7.2f | %9d %7.2f | %7d\n' "$name" "$size" "$ref_bytes" "$ref_time" \
    "$one_bytes" "$one_time" "$all_bytes" "$all_time" "$((ref_bytes - one_bytes))"
done
