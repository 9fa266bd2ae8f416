# Quality measuring shared by bench/jpeg_encoder.sh and bench/jpeg.sh (sourced,
# not run): reference pixels of the corpus's valid JPEG files, a tool's bytes,
# SSIM and PSNR against them, totals per tool and quality, and cjpeg's quality
# at equal SSIM.
#
# The sourcing script sets: bin (bench_jpeg_encoder), tmp (work folder),
# corpus, jobs (parallel measurements), and defines for every tool it
# measures a function `encode_TOOL Q ID OUT` that writes OUT (a JPEG) for
# source ID at quality Q. With keep_smaller=1 a result that is not smaller
# than the source JPEG counts as the source itself (as every tool that works
# in place keeps the smaller file). With pooled_psnr=1 a row's PSNR is that of
# the mean squared error over the files (a file kept as it is adds no error)
# rather than the mean of the files' PSNR (where it would count as 99 dB).
#
# Files: $tmp/src/ID.ppm (pixels), ID.sub (1: the source's chroma was
# subsampled), ID.grey (1: every pixel grey), ID.jpg (the source JPEG);
# $tmp/ids lists the IDs.

# 1. Sources: every valid JPEG of the corpus the bench harness decodes to
# 8-bit RGB (CMYK, 12-bit and lossless-process files are left out), without
# images below 8x8 (SSIM needs an 8x8 window).
quality_sources() {
  mkdir -p "$tmp/src"
  local n=0 f out skipped=() small=()
  while IFS= read -r f; do
    if ! out="$("$bin" decode "$f" "$tmp/src/$n.ppm" 2>/dev/null)"; then
      skipped+=("${f#$corpus/}")
    elif [ "$(head -c 32 "$tmp/src/$n.ppm" | sed -n 2p | awk '{print ($1 < 8 || $2 < 8)}')" = 1 ]; then
      small+=("${f#$corpus/}")
    else
      echo "${out#subsampled=}" >"$tmp/src/$n.sub"
      if python3 -c 'import sys; d=open(sys.argv[1],"rb").read().split(b"\n",3)[3]; sys.exit(0 if d[0::3]==d[1::3]==d[2::3] else 1)' "$tmp/src/$n.ppm"; then
        echo 1 >"$tmp/src/$n.grey"; else echo 0 >"$tmp/src/$n.grey"; fi
      cp "$f" "$tmp/src/$n.jpg"
      n=$((n + 1))
    fi
  done < <(find "$corpus/jpeg" -name '*.jpg' -not -path '*/broken/*' -not -path '*/limits/*' | sort)
  rm -f "$tmp/src/$n.ppm"
  echo "files: $n measured; not 8-bit RGB or grey (${#skipped[@]}): ${skipped[*]}"
  echo "smaller than 8x8, no SSIM (${#small[@]}): ${small[*]}"
  seq 0 $((n - 1)) >"$tmp/ids"
}

# cjpeg on the source pixels; grey sources as one component.
encode_cjpeg() {
  local grey=""; [ "$(cat "$tmp/src/$2.grey")" = 1 ] && grey="-grayscale"
  cjpeg -quality "$1" -optimize -progressive $grey "$tmp/src/$2.ppm" >"$3"
}

# One file, one tool, one quality: "bytes ssim psnr kept" into
# $tmp/res/TOOL-Q/ID (kept: 1 when the output is the source file itself).
measure() {
  local tool="$1" q="$2" id="$3" dir="$tmp/res/$1-$2" src="$tmp/src/$3.ppm"
  mkdir -p "$dir"
  local out="$dir/$id.jpg"
  "encode_$tool" "$q" "$id" "$out"
  if [ "${keep_smaller:-0}" = 1 ] && [ "$(stat -c %s "$out")" -ge "$(stat -c %s "$tmp/src/$id.jpg")" ]; then
    cp "$tmp/src/$id.jpg" "$out"
  fi
  local kept=0
  cmp -s "$out" "$tmp/src/$id.jpg" && kept=1
  djpeg -ppm "$out" >"$dir/$id.ppm" 2>/dev/null
  local log; log="$(ffmpeg -hide_banner -nostats -i "$src" -i "$dir/$id.ppm" \
    -filter_complex "[1:v]format=rgb24[d];[0:v]split[a0][a1];[d]split[b0][b1];[a0][b0]ssim;[a1][b1]psnr" -f null - 2>&1)"
  local ssim psnr
  ssim="$(sed -n 's/.*SSIM.*All:\([0-9.]*\).*/\1/p' <<<"$log")"
  psnr="$(sed -n 's/.*PSNR.*average:\([0-9.inf]*\).*/\1/p' <<<"$log")"
  [ "$psnr" = inf ] && psnr=99
  echo "$(stat -c %s "$out") $ssim $psnr $kept" >"$dir/$id"
  rm -f "$out" "$dir/$id.ppm"
}

# Totals of one tool and quality: "bytes mean_ssim psnr" (cached).
totals() {
  local tool="$1" q="$2" dir="$tmp/res/$1-$2"
  if [ ! -f "$dir.sum" ]; then
    xargs -P "$jobs" -I{} bash -c 'measure "$@"' _ "$tool" "$q" {} <"$tmp/ids"
    cat "$dir"/[0-9]* | awk -v pooled="${pooled_psnr:-0}" '
      {b += $1; s += $2; p += $3; m += 65025 * 10 ^ (-$3 / 10); n++}
      END {
        psnr = p / n
        if (pooled == 1) psnr = (m > 0) ? 10 * log(65025 * n / m) / log(10) : 99
        printf "%d %.5f %.3f\n", b, s / n, psnr
      }' >"$dir.sum"
  fi
  cat "$dir.sum"
}

# How many files of one tool and quality are the source itself.
kept_files() {
  totals "$1" "$2" >/dev/null
  cat "$tmp/res/$1-$2"/[0-9]* | awk '{k += $4} END {print k}'
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

# quality_table_header FIRST_COLUMN TOOL_NAME
quality_table_header() {
  printf '| %s | %s bytes | %s SSIM | %s PSNR | cjpeg same Q bytes | SSIM | PSNR | cjpeg Q at equal SSIM | its bytes | its SSIM | its PSNR | saved | saved, interpolated |\n' "$1" "$2" "$2" "$2"
  printf '|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n'
}

# One table row: LABEL, then TOOL at quality Q against cjpeg at Q and at the
# quality whose mean SSIM matches.
quality_table_row() {
  local label="$1" tool="$2" q="$3"
  local ob os op cb cs cp mq mb ms mp
  read -r ob os op < <(totals "$tool" "$q")
  read -r cb cs cp < <(totals cjpeg "$q")
  mq="$(match_cjpeg "$os")"
  read -r mb ms mp < <(totals cjpeg "$mq")
  local saved interpolated="-"
  saved="$(awk -v o="$ob" -v m="$mb" 'BEGIN {printf "%.1f %%", 100 * (1 - o / m)}')"
  # cjpeg's bytes at exactly our SSIM, linear between the quality below and the match.
  if [ "$mq" -gt 1 ]; then
    local lb ls
    read -r lb ls _ < <(totals cjpeg $((mq - 1)))
    interpolated="$(awk -v o="$ob" -v s="$os" -v lb="$lb" -v ls="$ls" -v mb="$mb" -v ms="$ms" \
      'BEGIN {t = (ms > ls) ? (s - ls) / (ms - ls) : 1; if (t < 0) t = 0; b = lb + t * (mb - lb); printf "%.1f %%", 100 * (1 - o / b)}')"
  fi
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$ob" "$os" "$op" "$cb" "$cs" "$cp" "$mq" "$mb" "$ms" "$mp" "$saved" "$interpolated"
}

export -f measure encode_cjpeg
