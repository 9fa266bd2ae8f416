#!/usr/bin/env bash
# The Zopfli-style compressor beside Debian's zopfli, on filtered PNG
# scanlines and text (no input comes from this project's own files):
#   1. mode 5 with 15 iterations against `zopfli --deflate --i15`: output bytes
#      and wall time, single-threaded and with all cores;
#   2. kodim23 at other settings, one thread: 1, 8, 15 and 60 iterations, and
#      15 iterations without the parse's early stop;
#   3. the first blocks of kodim23 as zopfli cuts them (its verbose output),
#      each parsed on its own by both: the cost in bits of the first iteration
#      and the best of 15;
#   4. the time the known-distance find saves: one iteration (the parse that
#      uses it) with it and with the general find in its place.
#   bench/zopfli.sh [BUILD_DIR]    (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
corpus="$(cd "$here/../shared/corpus" && pwd)"
bench="$build/bench_zopfli"
cmake --build "$build" --target bench_zopfli >/dev/null
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
cat /usr/share/common-licenses/* > "$work/licences.txt"

echo "== 1. mode 5, 15 iterations, against zopfli --i15"
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

echo
echo "== 2. kodim23.raw, one thread"
printf '%-34s %9s %7s\n' setting bytes time
for it in 1 8 15 60; do
  read -r _ _ bytes secs <<<"$("$bench" --mode 5 --iterations "$it" --threads 1 "$work/kodim23.raw")"
  printf '%-34s %9d %7.2f\n' "$it iterations" "$bytes" "$secs"
done
read -r _ _ bytes secs <<<"$("$bench" --mode 5 --iterations 15 --threads 1 --no-early-stop "$work/kodim23.raw")"
printf '%-34s %9d %7.2f\n' "15 iterations, no early stop" "$bytes" "$secs"
start="$(date +%s.%N)"
zopfli --deflate --i15 -c "$work/kodim23.raw" > "$work/ref.deflate"
printf '%-34s %9d %7.2f\n' "zopfli --i15" "$(stat -c %s "$work/ref.deflate")" "$(echo "$(date +%s.%N) - $start" | bc)"

echo
echo "== 3. kodim23.raw, zopfli's first six blocks, each parsed alone (bits)"
zopfli --deflate --i15 -v -c "$work/kodim23.raw" 2>"$work/verbose" >/dev/null
points="$(sed -n 's/^block split points: \([0-9 ]*\) (hex.*/\1/p' "$work/verbose" | tr ' ' '\n' | head -6 | tr '\n' ' ')"
# zopfli prints "Iteration N: B bit" for each iteration that found a cheaper
# parse; a new block starts at iteration 0.
awk '/^Iteration 0:/ { if (n) print first "\t" last; n++; first = $3 } /^Iteration/ { last = $3 } END { print first "\t" last }' \
  "$work/verbose" | head -6 >"$work/theirs"
# shellcheck disable=SC2086
"$bench" --block-costs "$work/kodim23.raw" $points | awk -F'\t' '{ best = $3; for (i = 4; i <= NF; i++) if ($i < best) best = $i; print $1 "\t" $2 "\t" $3 "\t" best }' >"$work/ours"
printf '%-17s | %10s %10s | %10s %10s | %7s\n' block zopfli-1st zopfli-best velto-1st velto-best "best"
paste "$work/ours" "$work/theirs" | awk -F'\t' '{ printf "%-17s | %9d %9d | %9d %9d | %+6.2f%%\n", $1 "-" $2, $5, $6, $3, $4, 100 * ($4 - $6) / $6 }'

echo
echo "== 4. one iteration (the pass that uses the known-distance find), one thread, best of 3 runs:"
echo "      with the known-distance find, and with the general find in its place"
printf '%-30s %9s %9s %9s %9s\n' input bytes output known general
best_time() {  # best_time ARGS...: the least seconds of three runs, and the output bytes
  local t b best=
  for _ in 1 2 3; do
    read -r _ _ b t <<<"$("$bench" "$@")"
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" -eq 1 ]; then best="$t"; fi
  done
  echo "$b $best"
}
for f in "$work"/*.raw "$work"/*.txt; do
  read -r known_bytes known_time <<<"$(best_time --mode 5 --iterations 1 --threads 1 "$f")"
  read -r general_bytes general_time <<<"$(best_time --mode 5 --iterations 1 --threads 1 --general-find "$f")"
  [ "$known_bytes" -eq "$general_bytes" ] || echo "$(basename "$f"): the two finds gave different streams" >&2
  printf '%-30s %9d %9d %9.2f %9.2f\n' "$(basename "$f")" "$(stat -c %s "$f")" "$known_bytes" "$known_time" "$general_time"
done
