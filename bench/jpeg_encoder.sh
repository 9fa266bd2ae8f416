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
# smallest cjpeg quality whose mean SSIM is at least ours.
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

# 1. Sources (images below 8x8 are left out: SSIM needs an 8x8 window).
mkdir -p "$tmp/src"
n=0; skipped=(); small=()
while IFS= read -r f; do
  if ! out="$("$bin" decode "$f" "$tmp/src/$n.ppm" 2>/dev/null)"; then
    skipped+=("${f#$corpus/}")
  elif [ "$(head -c 32 "$tmp/src/$n.ppm" | sed -n 2p | awk '{print ($1 < 8 || $2 < 8)}')" = 1 ]; then
    small+=("${f#$corpus/}")  # below the 8x8 window SSIM needs
  else
    echo "${out#subsampled=}" >"$tmp/src/$n.sub"
    # Grey sources: every pixel has R = G = B.
    if python3 -c 'import sys; d=open(sys.argv[1],"rb").read().split(b"\n",3)[3]; sys.exit(0 if d[0::3]==d[1::3]==d[2::3] else 1)' "$tmp/src/$n.ppm"; then
      echo 1 >"$tmp/src/$n.grey"; else echo 0 >"$tmp/src/$n.grey"; fi
    n=$((n + 1))
  fi
done < <(find "$corpus/jpeg" -name '*.jpg' -not -path '*/broken/*' -not -path '*/limits/*' | sort)
echo "files: $n measured; not 8-bit RGB or grey (${#skipped[@]}): ${skipped[*]}"
echo "smaller than 8x8, no SSIM (${#small[@]}): ${small[*]}"
seq 0 $((n - 1)) >"$tmp/ids"

# One file, one tool, one quality: "bytes ssim psnr" into $tmp/res/TOOL-Q/ID.
measure() {
  local tool="$1" q="$2" id="$3" dir="$tmp/res/$1-$2" src="$tmp/src/$3.ppm"
  mkdir -p "$dir"
  local out="$dir/$id.jpg"
  if [ "$tool" = ours ]; then
    "$bin" encode "$src" "$dir/$id.base.jpg" "$q" "$(cat "$tmp/src/$id.sub")" >/dev/null
    jpegtran -optimize -progressive -copy none "$dir/$id.base.jpg" >"$dir/$id.prog.jpg"
    if [ "$(stat -c %s "$dir/$id.prog.jpg")" -lt "$(stat -c %s "$dir/$id.base.jpg")" ]; then
      mv "$dir/$id.prog.jpg" "$out"; else mv "$dir/$id.base.jpg" "$out"; fi
    rm -f "$dir/$id.base.jpg" "$dir/$id.prog.jpg"
  else
    local grey=""; [ "$(cat "$tmp/src/$id.grey")" = 1 ] && grey="-grayscale"
    cjpeg -quality "$q" -optimize -progressive $grey "$src" >"$out"
  fi
  djpeg -ppm "$out" >"$dir/$id.ppm"
  local log; log="$(ffmpeg -hide_banner -nostats -i "$src" -i "$dir/$id.ppm" \
    -filter_complex "[1:v]format=rgb24[d];[0:v]split[a0][a1];[d]split[b0][b1];[a0][b0]ssim;[a1][b1]psnr" -f null - 2>&1)"
  local ssim psnr
  ssim="$(sed -n 's/.*SSIM.*All:\([0-9.]*\).*/\1/p' <<<"$log")"
  psnr="$(sed -n 's/.*PSNR.*average:\([0-9.inf]*\).*/\1/p' <<<"$log")"
  [ "$psnr" = inf ] && psnr=99
  echo "$(stat -c %s "$out") $ssim $psnr" >"$dir/$id"
  rm -f "$out" "$dir/$id.ppm"
}
export -f measure

# Totals of one tool and quality: "bytes mean_ssim mean_psnr" (cached).
totals() {
  local tool="$1" q="$2" dir="$tmp/res/$1-$2"
  if [ ! -f "$dir.sum" ]; then
    xargs -P "$jobs" -I{} bash -c 'measure "$@"' _ "$tool" "$q" {} <"$tmp/ids"
    cat "$dir"/[0-9]* | awk '{b += $1; s += $2; p += $3; n++} END {printf "%d %.5f %.3f\n", b, s / n, p / n}' >"$dir.sum"
  fi
  cat "$dir.sum"
}

# Smallest cjpeg quality whose mean SSIM is at least `target`.
match_cjpeg() {
  local target="$1" lo=1 hi=100 mid s
  while [ "$lo" -lt "$hi" ]; do
    mid=$(((lo + hi) / 2))
    s="$(totals cjpeg "$mid" | awk '{print $2}')"
    if awk -v a="$s" -v b="$target" 'BEGIN {exit !(a >= b)}'; then hi="$mid"; else lo=$((mid + 1)); fi
  done
  echo "$lo"
}

printf '| quality | ours bytes | ours SSIM | ours PSNR | cjpeg same Q bytes | SSIM | PSNR | cjpeg Q at equal SSIM | its bytes | its SSIM | its PSNR | saved | saved, interpolated |\n'
printf '|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n'
for q in 90 70 84 96; do
  read -r ob os op < <(totals ours "$q")
  read -r cb cs cp < <(totals cjpeg "$q")
  mq="$(match_cjpeg "$os")"
  read -r mb ms mp < <(totals cjpeg "$mq")
  saved="$(awk -v o="$ob" -v m="$mb" 'BEGIN {printf "%.1f %%", 100 * (1 - o / m)}')"
  # cjpeg's bytes at exactly our SSIM, linear between the quality below and the match.
  interpolated="-"
  if [ "$mq" -gt 1 ]; then
    read -r lb ls _ < <(totals cjpeg $((mq - 1)))
    interpolated="$(awk -v o="$ob" -v s="$os" -v lb="$lb" -v ls="$ls" -v mb="$mb" -v ms="$ms" \
      'BEGIN {t = (ms > ls) ? (s - ls) / (ms - ls) : 1; if (t < 0) t = 0; b = lb + t * (mb - lb); printf "%.1f %%", 100 * (1 - o / b)}')"
  fi
  label="$q"; [ "$q" = 90 ] && label="90 (default)"
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$ob" "$os" "$op" "$cb" "$cs" "$cp" "$mq" "$mb" "$ms" "$mp" "$saved" "$interpolated"
done

# Speed: the 12-megapixel photo at the default quality, one thread.
big="$corpus/jpeg/camera/exifpy-42_IndexError.jpg"
sub="$("$bin" decode "$big" "$tmp/big.ppm")"
"$bin" encode "$tmp/big.ppm" "$tmp/big.jpg" 90 "${sub#subsampled=}" 5 | sed "s|^|$(basename "$big") 4032x3024, quality 90: |"
