#!/usr/bin/env bash
# Lossy JPEG encoder benchmark: our encoder against Debian's cjpeg on the same
# pixels, on the valid JPEG files of the shared corpus (not broken/, limits/).
#
# Every file is decoded to RGB once (bench_jpeg_encoder decode; CMYK, 12-bit
# and lossless-process files are skipped). At each quality step:
#   ours   bench_jpeg_encoder encode (the lossy road's chroma choice, trellis,
#          biased rounding, adapted tables, optimised Huffman tables), then
#          jpegtran -optimize -progressive, keeping the smaller file: the
#          lossless progressive pass our files get at effort levels 2-4;
#   cjpeg  cjpeg -quality Q -optimize -progressive (grey sources -grayscale).
# Both results are decoded with djpeg and compared with the source by
# ffmpeg's ssim and psnr filters on the RGB planes ("All" SSIM, average PSNR);
# a step's figures are the total bytes and the mean SSIM and PSNR over files.
# cjpeg's equal-SSIM quality is found by bisection on the mean SSIM: the
# smallest cjpeg quality whose mean SSIM is at least ours. The measuring is
# shared with bench/jpeg.sh (bench/jpeg_quality.sh).
# Finally the 12-megapixel photo is encoded at the default quality, best of
# five runs on one thread.
#   bench/jpeg_encoder.sh [BUILD_DIR]   (needs bench_jpeg_encoder built)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
bin="$build/bench_jpeg_encoder"
[ -x "$bin" ] || { echo "build bench_jpeg_encoder first (cmake --build $build --target bench_jpeg_encoder)"; exit 1; }
corpus="${VELTO_CORPUS:-$here/../shared/corpus}"
jobs="${BENCH_JOBS:-4}"
for tool in cjpeg djpeg jpegtran ffmpeg; do
  command -v "$tool" >/dev/null || { echo "missing $tool: scripts/install-deps.sh bench"; exit 1; }
done
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
export bin tmp
source "$here/bench/jpeg_quality.sh"

# Our encoder with the road's settings, then the progressive pass.
encode_ours() {
  local q="$1" id="$2" out="$3"
  "$bin" encode "$tmp/src/$id.ppm" "$out.base.jpg" "$q" "$(cat "$tmp/src/$id.sub")" >/dev/null
  jpegtran -optimize -progressive -copy none "$out.base.jpg" >"$out.prog.jpg"
  if [ "$(stat -c %s "$out.prog.jpg")" -lt "$(stat -c %s "$out.base.jpg")" ]; then
    mv "$out.prog.jpg" "$out"; else mv "$out.base.jpg" "$out"; fi
  rm -f "$out.base.jpg" "$out.prog.jpg"
}
export -f encode_ours

quality_sources
quality_table_header quality ours
for q in 90 70 84 96; do
  label="$q"; [ "$q" = 90 ] && label="90 (default)"
  quality_table_row "$label" ours "$q"
done

# Speed: the 12-megapixel photo at the default quality, one thread.
big="$corpus/jpeg/camera/exifpy-42_IndexError.jpg"
sub="$("$bin" decode "$big" "$tmp/big.ppm")"
"$bin" encode "$tmp/big.ppm" "$tmp/big.jpg" 90 "${sub#subsampled=}" 5 | sed "s|^|$(basename "$big") 4032x3024, quality 90: |"
