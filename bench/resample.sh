#!/usr/bin/env bash
# Resampler benchmark: a 6000 x 4000 RGBA image down to 1536 x 1024, our
# resize_image (SSE2 and scalar paths) beside ImageMagick's Lanczos resize on
# one thread. Prints wall time, source megapixels per second and peak memory
# (maximum resident set size from /usr/bin/time -v), and how far the two
# results are apart.
#   bench/resample.sh [BUILD_DIR]      (default: build; needs bench_resample built)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
bin="$build/bench_resample"
[ -x "$bin" ] || { echo "build bench_resample first (cmake --build $build --target bench_resample)"; exit 1; }
convert="${CONVERT:-convert}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

"$bin" --repeat 1 --write-source "$tmp/source.rgba" --write-output "$tmp/ours.rgba" >/dev/null

peak_mb() { awk -F': ' '/Maximum resident set size/ {printf "%.0f", $2 / 1024}' "$1"; }
wall_s() {  # elapsed (wall clock) in seconds from time -v
  awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; printf "%.3f", s}' "$1"
}

printf '%-34s %10s %10s %12s\n' tool seconds MP/s peak_MB
for path in sse2 scalar; do
  flag=""; [ "$path" = scalar ] && flag="--scalar"
  "$bin" --repeat 3 $flag >"$tmp/out"                       # best of three
  /usr/bin/time -v "$bin" --repeat 1 $flag >/dev/null 2>"$tmp/time"  # one image in memory
  secs="$(sed -n 's/.*best_seconds=\([0-9.]*\).*/\1/p' "$tmp/out")"
  mps="$(sed -n 's/.*mp_per_s=\([0-9.]*\).*/\1/p' "$tmp/out")"
  printf '%-34s %10s %10s %12s\n' "velto resize_image ($path)" "$secs" "$mps" "$(peak_mb "$tmp/time")"
done

# ImageMagick reads and writes raw RGBA, so the figures hold little beyond the
# resize itself; the plain copy shows that overhead. Best of three runs.
im_run() {
  local label="$1"; shift
  local best="" best_time=""
  for _ in 1 2 3; do
    /usr/bin/time -v "$convert" -limit thread 1 -size 6000x4000 -depth 8 "rgba:$tmp/source.rgba" "$@" 2>"$tmp/time.$$"
    local s; s="$(wall_s "$tmp/time.$$")"
    if [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN {exit !(a < b)}'; then best="$s"; cp "$tmp/time.$$" "$tmp/best"; fi
  done
  local mps; mps="$(awk -v s="$best" 'BEGIN {printf "%.1f", 24 / s}')"
  printf '%-34s %10s %10s %12s\n' "$label" "$best" "$mps" "$(peak_mb "$tmp/best")"
}
im_run "ImageMagick copy only (1 thread)" "rgba:$tmp/copy.rgba"
im_run "ImageMagick Lanczos (1 thread)" -filter Lanczos -resize 1536x "rgba:$tmp/theirs.rgba"

python3 - "$tmp/ours.rgba" "$tmp/theirs.rgba" <<'PY'
import sys
a = open(sys.argv[1], "rb").read()
b = open(sys.argv[2], "rb").read()
if len(a) != len(b):
    print(f"results differ in size: {len(a)} vs {len(b)} bytes")
else:
    d = [abs(x - y) for x, y in zip(a, b)]
    print(f"difference to ImageMagick: mean {sum(d) / len(d):.3f}, max {max(d)} (per byte, 0..255)")
PY
