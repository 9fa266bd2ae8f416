#!/usr/bin/env bash
# Quantiser benchmark: a real photo to 256 colours with our quantize_palette,
# beside pngquant on the same image. Prints seconds (best of three),
# megapixels per second, peak memory (maximum resident set size from
# /usr/bin/time -v) and the PSNR of the result against the original.
#   bench/quantize.sh [BUILD_DIR] [IMAGE]
#     BUILD_DIR defaults to build (needs bench_quantize built); IMAGE to a
#     12-megapixel camera JPEG of the corpus (a PNG works too).
# Our seconds are the quantiser alone; our peak holds the decoded image
# (4 bytes a pixel) and the index image (1 byte a pixel) beside the
# quantiser's own data. pngquant's figures are whole runs: they include
# reading and writing the PNG, whose decoding alone is shown as a row.
# PNGQUANT names another pngquant binary.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
image="${2:-$here/../shared/corpus/jpeg/camera/exifpy-42_IndexError.jpg}"
bin="$build/bench_quantize"
[ -x "$bin" ] || { echo "build bench_quantize first (cmake --build $build --target bench_quantize)"; exit 1; }
pngquant="${PNGQUANT:-pngquant}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Both tools read the same RGBA PNG.
"$bin" "$image" -o "$tmp/source.png"
info="$("$bin" --colours "$tmp/source.png")"
mp="$(echo "$info" | awk '{split($1, w, "="); split($2, h, "="); printf "%.2f", w[2] * h[2] / 1e6}')"
echo "image: $image ($info, $mp MP)"

peak_mb() { awk -F': ' '/Maximum resident set size/ {printf "%.0f", $2 / 1024}' "$1"; }
wall_s() {  # elapsed (wall clock) in seconds from time -v
  awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; printf "%.3f", s}' "$1"
}
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" "$2"; }

printf '%-40s %8s %8s %8s %8s %9s\n' tool entries seconds MP/s peak_MB psnr_dB
for q in 90 100; do
  "$bin" "$tmp/source.png" -q "$q" -r 3 >"$tmp/out"
  /usr/bin/time -v "$bin" "$tmp/source.png" -q "$q" -r 1 >/dev/null 2>"$tmp/time"
  printf '%-40s %8s %8s %8s %8s %9s\n' "velto quantize_palette (quality $q)" "$(field entries "$tmp/out")" \
    "$(field best_seconds "$tmp/out")" "$(field mp_per_s "$tmp/out")" "$(peak_mb "$tmp/time")" "$(field psnr "$tmp/out")"
done
printf '%-40s %8s %8s %8s %8s %9s\n' "  (PNG decoding alone, libpng)" - "$(field load_seconds "$tmp/out")" - - -

pq_run() {
  local label="$1" threads="$2"; shift 2
  local best="" s
  for _ in 1 2 3; do
    OMP_NUM_THREADS="$threads" /usr/bin/time -v "$pngquant" --force --output "$tmp/pq.png" "$@" 256 "$tmp/source.png" 2>"$tmp/time"
    s="$(wall_s "$tmp/time")"
    if [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN {exit !(a < b)}'; then best="$s"; cp "$tmp/time" "$tmp/best"; fi
  done
  local mps entries
  mps="$(awk -v s="$best" -v m="$mp" 'BEGIN {printf "%.2f", m / s}')"
  entries="$(python3 -c 'import struct, sys
d = open(sys.argv[1], "rb").read(); i = 8
while i < len(d):
    n, t = struct.unpack(">I4s", d[i:i + 8])
    if t == b"PLTE": print(n // 3); break
    i += 12 + n
else: print("-")' "$tmp/pq.png")"
  printf '%-40s %8s %8s %8s %8s %9s\n' "$label" "$entries" "$best" "$mps" "$(peak_mb "$tmp/best")" \
    "$("$bin" --psnr "$tmp/source.png" "$tmp/pq.png" | sed 's/psnr=//')"
}
# Our quantiser runs on one thread; pngquant is limited to one as well, except
# in the last row (all hardware threads).
cores="$(nproc)"
pq_run "pngquant $("$pngquant" --version | cut -d' ' -f1) (speed 4, dithered)" 1
pq_run "pngquant (speed 4, --nofs)" 1 --nofs
pq_run "pngquant (speed 10, --nofs)" 1 --speed 10 --nofs
pq_run "pngquant (speed 4, dithered, $cores threads)" "$cores"
