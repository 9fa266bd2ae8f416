#!/usr/bin/env bash
# JPEG benchmark, both roads, on the valid JPEG files of the shared corpus
# (broken/ and limits/ left out).
#
# Lossless road: the engine's "-l -nostrip" (every APPn segment kept) at every
# effort level against Debian's jpegtran -optimize -progressive -copy all and
# jpegoptim --all-progressive (both keep all metadata), each given the whole
# machine, on the .jpg and .jpeg files. A tool's output that is larger than
# its input counts as the input (every tool keeps the smaller file). Pixel
# identity: djpeg of the output against djpeg of the input; a one-component
# output of a three-component input (the engine's grey reduction) is compared
# with djpeg -grayscale of the input.
#
# Lossy road: `core -strip` on each file (metadata left out on both sides) at
# its default quality and at "-q=" 70, 84 and 96, at the default effort level
# (0) and at "-jpg-s2" (optimised tables and the final progressive pass),
# against Debian's cjpeg -quality Q -optimize -progressive on the file's
# decoded pixels; both keep the source file when their result is not smaller.
# Bytes, SSIM and PSNR against the decoded source and cjpeg's quality at equal
# SSIM are measured as in bench/jpeg_encoder.sh (bench/jpeg_quality.sh); the
# files that are not 8-bit RGB or grey, or below 8x8, are left out. Then the
# 12-megapixel photo through the whole road on one worker, best of three.
#   bench/jpeg.sh [BUILD_DIR]         (default: build)
# Environment:
#   ROADS="..."    lossless, lossy or both (default: both)
#   TOOLS="..."    which lossless columns to run (default: all; names as printed)
#   BENCH_JOBS=N   parallel measurements on the lossy road (default 4)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
corpus="$(cd "$here/../shared/corpus" && pwd)"
cores="$(nproc)"

roads="${ROADS:-lossless lossy}"

cmake --build "$build" --target core bench_jpeg_encoder >/dev/null
core="$build/core"
for tool in djpeg jpegtran jpegoptim cjpeg ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: scripts/install-deps.sh bench" >&2; exit 1; }
done

work="$(mktemp -d /tmp/jpeg-bench.XXXXXX)"
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT

lossy_road() {
  bin="$build/bench_jpeg_encoder"
  tmp="$work/lossy"
  jobs="${BENCH_JOBS:-4}"
  keep_smaller=1
  pooled_psnr=1
  LOCALAPPDATA="$work/appdata"
  mkdir -p "$tmp" "$LOCALAPPDATA"
  export bin tmp core keep_smaller pooled_psnr LOCALAPPDATA
  source "$here/bench/jpeg_quality.sh"

  # The engine on a copy of the source file; 90 stands for the default
  # quality ("-q=" not given, which is not the same as "-q=90").
  encode_core() {
    local q="$1" id="$2" out="$3" level="${4:-}"
    cp "$tmp/src/$id.jpg" "$out"
    chmod u+w "$out"  # the engine leaves read-only files alone
    local args=(-strip)
    [ "$q" = 90 ] || args+=("-q=$q")
    [ -z "$level" ] || args+=("$level")
    "$core" "${args[@]}" "$out" >/dev/null 2>&1 || true
  }
  encode_core_s2() { encode_core "$1" "$2" "$3" -jpg-s2; }
  export -f encode_core encode_core_s2

  echo
  echo "lossy road:"
  quality_sources
  quality_table_header "quality, level" core
  for q in 90 70 84 96; do
    label="$q"; [ "$q" = 90 ] && label="90 (default)"
    quality_table_row "$label, -jpg-s0" core "$q"
    quality_table_row "$label, -jpg-s2" core_s2 "$q"
  done
  # Files each side left as they were (its result not smaller).
  echo "files kept as they were, of $(wc -l <"$tmp/ids"):"
  for q in 90 70 84 96; do
    echo "  Q $q: core -jpg-s0 $(kept_files core "$q"), -jpg-s2 $(kept_files core_s2 "$q");" \
      "cjpeg same Q $(kept_files cjpeg "$q"), at core -jpg-s0's SSIM (Q $(match_cjpeg "$(totals core "$q" | awk '{print $2}')"))" \
      "$(kept_files cjpeg "$(match_cjpeg "$(totals core "$q" | awk '{print $2}')")")"
  done

  # The whole road on the 12-megapixel photo, one worker: read, decode,
  # measure, encode, replace (and at -jpg-s2 the final lossless pass).
  local big="$corpus/jpeg/camera/exifpy-42_IndexError.jpg" level best t start
  for level in -jpg-s0 -jpg-s2; do
    best=""
    for _ in 1 2 3; do
      cp "$big" "$work/big.jpg"; chmod u+w "$work/big.jpg"
      start="$(date +%s.%N)"
      "$core" -process=1 -strip "$level" "$work/big.jpg"
      t="$(echo "$(date +%s.%N) - $start" | bc)"
      if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best="$t"; fi
    done
    printf '%s 4032x3024, core -process=1 -strip %s: %.3f s, %d -> %d bytes\n' "$(basename "$big")" "$level" \
      "$best" "$(stat -c %s "$big")" "$(stat -c %s "$work/big.jpg")"
  done
}

# Only the lossy road asked for: skip the lossless one.
if [[ " $roads " != *" lossless "* ]]; then
  [[ " $roads " != *" lossy "* ]] || lossy_road
  exit 0
fi

mkdir -p "$work/input" "$work/ref"
awk -F'\t' '$4 == "valid" && $1 ~ /^jpeg\// && $1 ~ /\.(jpg|jpeg)$/ && $1 !~ /\/(broken|limits)\// { print $1 }' \
  "$corpus/MANIFEST.tsv" | while read -r rel; do
  cp "$corpus/$rel" "$work/input/$(echo "${rel#jpeg/}" | tr '/' '_')"
done
input_files="$(ls "$work/input" | wc -l)"
input_bytes="$(cat "$work/input"/* | wc -c)"
# Reference pixels of every input the Debian library decodes (12-bit and
# lossless-process files it cannot read have none and are not compared).
for f in "$work/input"/*; do
  djpeg -pnm "$f" >"$work/ref/$(basename "$f").pnm" 2>/dev/null || rm -f "$work/ref/$(basename "$f").pnm"
done

# Mismatch count of one output folder, listing the files.
pixel_mismatches() {
  local dir="$1" n=0 f name out
  for f in "$work/input"/*; do
    name="$(basename "$f")"; out="$dir/$name"
    [ -f "$work/ref/$name.pnm" ] || continue
    cmp -s "$f" "$out" && continue
    djpeg -pnm "$out" >"$work/out.pnm" 2>/dev/null || { echo "    $name: output does not decode" >&2; n=$((n + 1)); continue; }
    cmp -s "$work/ref/$name.pnm" "$work/out.pnm" && continue
    if [ "$(head -c 2 "$work/out.pnm")" = P5 ] && [ "$(head -c 2 "$work/ref/$name.pnm")" = P6 ] &&
       djpeg -grayscale -pnm "$f" 2>/dev/null | cmp -s - "$work/out.pnm"; then
      continue
    fi
    echo "    $name: pixels differ" >&2
    n=$((n + 1))
  done
  echo "$n"
}

# One column: copy the inputs, run the command on the copy folder with the
# whole machine, then total the sizes (keeping per-file sizes for the
# comparisons below) and check every output.
#   run_tool NAME COMMAND...   (COMMAND gets the folder as its last argument)
run_tool() {
  local name="$1"; shift
  if [ -n "${TOOLS:-}" ] && [[ " $TOOLS " != *" $name "* ]]; then return; fi
  local dir="$work/out-$name"
  rm -rf "$dir"; cp -r "$work/input" "$dir"; chmod -R u+w "$dir"
  local start end peak
  start="$(date +%s.%N)"
  /usr/bin/time -f '%M' -o "$work/peak" bash -c '"$@"' run "$@" "$dir" >/dev/null 2>&1 || true
  end="$(date +%s.%N)"
  peak="$(tail -1 "$work/peak")"
  local total=0 f in_size out_size
  : >"$work/sizes-$name"
  for f in "$work/input"/*; do
    in_size="$(stat -c %s "$f")"
    out_size="$(stat -c %s "$dir/$(basename "$f")" 2>/dev/null || echo "$in_size")"
    if [ "$out_size" -gt "$in_size" ]; then out_size="$in_size"; fi
    total=$((total + out_size))
    echo "$(basename "$f") $out_size" >>"$work/sizes-$name"
  done
  local mismatches
  mismatches="$(pixel_mismatches "$dir" 2>"$work/mismatch-list")"
  printf '%-22s %12d %8.2f%% %9.1f %9.0f %10d\n' "$name" "$total" \
    "$(echo "100 * $total / $input_bytes" | bc -l)" "$(echo "$end - $start" | bc)" \
    "$(echo "$peak / 1024" | bc -l)" "$mismatches"
  sed 's/^/  /' "$work/mismatch-list" | head -20
}

# Per-file tools run one process per file, as many at a time as there are cores.
each_file() {  # each_file COMMAND... FOLDER: COMMAND gets one file as its last argument
  local dir="${*: -1}"
  local cmd=("${@:1:$#-1}")
  find "$dir" -type f -print0 | xargs -0 -P "$cores" -n 1 "${cmd[@]}"
}
jpegtran_in_place() {  # jpegtran writes a separate file; keep it only when smaller
  local f="$1"
  jpegtran -optimize -progressive -copy all -outfile "$f.t" "$f" 2>/dev/null || true
  if [ -s "$f.t" ] && [ "$(stat -c %s "$f.t")" -lt "$(stat -c %s "$f")" ]; then mv "$f.t" "$f"; fi
  rm -f "$f.t"
}
export -f each_file jpegtran_in_place
export cores

echo "inputs: $input_files files, $input_bytes bytes, $cores cores"
printf '%-22s %12s %9s %9s %9s %10s\n' tool bytes relative wall-s peak-MiB mismatches
printf '%-22s %12d %8.2f%% %9s %9s %10s\n' input "$input_bytes" 100 - - -
for level in 0 1 2 3 4; do
  run_tool "core-l-nostrip-s$level" "$core" -quiet -l -nostrip "-jpg-s$level"
done
run_tool jpegtran-opt-prog each_file bash -c 'jpegtran_in_place "$0"'
run_tool jpegoptim-all-prog each_file jpegoptim -q --all-progressive

# Per-file comparison of -jpg-s2 with jpegtran, and of -jpg-s4 with -jpg-s2.
compare_files() {  # compare_files A B: files where A's result is larger than B's
  [ -f "$work/sizes-$1" ] && [ -f "$work/sizes-$2" ] || return 0
  local larger
  larger="$(join <(sort "$work/sizes-$1") <(sort "$work/sizes-$2") | awk '$2 > $3 { print "  " $1 ": " $2 " > " $3 }')"
  echo "files where $1 is larger than $2: $(printf '%s' "$larger" | grep -c . || true)"
  [ -z "$larger" ] || echo "$larger"
}
compare_files core-l-nostrip-s2 jpegtran-opt-prog
compare_files core-l-nostrip-s4 core-l-nostrip-s2

# Where -jpg-s2 is smaller than jpegtran (same scan script, both with optimised
# tables), with what tells the outputs apart: the input's comment bytes (the
# engine drops comments, jpegtran -copy all keeps them) and the component
# count before and after (the engine reduces grey three-component images).
components() { rdjpgcom -verbose "$1" 2>/dev/null | sed -n 's/.* \([0-9]*\) color components.*/\1/p'; }
if [ -f "$work/sizes-core-l-nostrip-s2" ] && [ -f "$work/sizes-jpegtran-opt-prog" ]; then
  echo "files where core-l-nostrip-s2 is smaller than jpegtran-opt-prog (bytes saved, comment bytes, components in -> out):"
  join <(sort "$work/sizes-core-l-nostrip-s2") <(sort "$work/sizes-jpegtran-opt-prog") | awk '$2 < $3' |
    while read -r name ours theirs; do
      echo "  $name: $((theirs - ours)), $(rdjpgcom "$work/input/$name" | wc -c)," \
        "$(components "$work/input/$name") -> $(components "$work/out-core-l-nostrip-s2/$name")"
    done
fi

[[ " $roads " != *" lossy "* ]] || lossy_road
