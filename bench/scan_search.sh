#!/usr/bin/env bash
# Progressive scan search benchmark: every valid JPEG of the shared corpus
# (broken/ and limits/ left out) transcoded losslessly to progressive with
# optimised Huffman tables and no metadata, three ways:
#   - libjpeg-turbo's standard progressive script (what -jpg-s2 writes),
#   - the searched script (what -jpg-s3 and -jpg-s4 write),
#   - Debian's jpegtran -optimize -progressive -copy none, one process a file.
# The first two run in bench_scan_search, one file after another on one
# thread; it also checks that every searched file holds the input's
# coefficients and that the search's size estimate equals the scan bytes
# libjpeg wrote (less the 00 bytes stuffed after FF). Times are processor
# seconds (user + system) from getrusage and /usr/bin/time; the machine is
# shared, so they are indicative, sizes are exact.
#   bench/scan_search.sh [BUILD_DIR]      (default: build)
# Environment: JPEGTRAN=path (default: jpegtran), PER_FILE=1 prints every
# file's line from the harness.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
corpus="$(cd "$here/../shared/corpus" && pwd)"
jpegtran="${JPEGTRAN:-jpegtran}"

cmake --build "$build" --target bench_scan_search >/dev/null
harness="$build/bench_scan_search"
work="$(mktemp -d /tmp/scan-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

mapfile -t files < <(awk -F'\t' '$4 == "valid" && $1 ~ /^jpeg\// && $1 !~ /\/(broken|limits)\// { print $1 }' \
  "$corpus/MANIFEST.tsv")

(cd "$corpus" && "$harness" "${files[@]}") >"$work/harness"
[ "${PER_FILE:-0}" = 1 ] && grep '^file=' "$work/harness"

# jpegtran on the files the library could transcode, one process each.
mapfile -t done_files < <(sed -n 's/^file=\([^ ]*\) pixels=.*/\1/p' "$work/harness")
: >"$work/sizes"
/usr/bin/time -f '%e %U %S' -o "$work/jpegtran_time" bash -c '
  for f in "${@:3}"; do "$1" -optimize -progressive -copy none "$2/$f" 2>/dev/null | wc -c; done' \
  run "$jpegtran" "$corpus" "${done_files[@]}" >"$work/sizes"

field() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" "$work/harness" | tail -1; }
files_done="$(field files)"
pixels="$(field pixels)"
standard="$(field standard)"
searched="$(field searched)"
jt_bytes="$(awk '{ s += $1 } END { print s }' "$work/sizes")"
read -r jt_wall jt_user jt_sys <"$work/jpegtran_time"
larger="$(awk '/^file=/ { split($0, a, " "); for (i in a) { split(a[i], kv, "="); v[kv[1]] = kv[2] }
           if (v["searched"] + 0 > v["standard"] + 0) n++ } END { print n + 0 }' "$work/harness")"

pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f %%", 100 * a / b }'; }
printf '%s files (%s skipped: the library cannot read them), %.1f megapixels\n\n' \
  "$files_done" "$(grep -c 'skipped=' "$work/harness" || true)" "$(awk -v p="$pixels" 'BEGIN { print p / 1e6 }')"
printf '| transcode | bytes | vs standard | vs jpegtran | processor s |\n|---|---:|---:|---:|---:|\n'
printf '| standard script (bench_scan_search) | %s | 100.00 %% | %s | %s |\n' "$standard" \
  "$(pct "$standard" "$jt_bytes")" "$(field standard_s)"
printf '| searched script (bench_scan_search) | %s | %s | %s | %s |\n' "$searched" \
  "$(pct "$searched" "$standard")" "$(pct "$searched" "$jt_bytes")" "$(field searched_s)"
printf '| jpegtran -optimize -progressive -copy none | %s | %s | 100.00 %% | %s |\n' "$jt_bytes" \
  "$(pct "$jt_bytes" "$standard")" "$(awk -v u="$jt_user" -v s="$jt_sys" 'BEGIN { printf "%.3f", u + s }')"
printf '\nsearch alone: %s processor s, %s ms a megapixel\n' "$(field search_s)" "$(field search_ms_per_mp)"
printf 'jpegtran wall time (one process a file, in a row): %s s\n' "$jt_wall"
printf 'searched files larger than the standard script'"'"'s: %s\n' "$larger"
printf 'searched files whose coefficients differ from the input: %s\n' "$(field coefficient_mismatches)"
printf 'files whose size estimate differs from the written scans: %s\n' "$(field estimate_misses)"
# By image size: the search gains most where headers weigh most.
printf '\n| image size | files | standard bytes | searched bytes | saved | search ms a megapixel |\n|---|---:|---:|---:|---:|---:|\n'
awk '/^file=.* pixels=/ {
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
    c = v["pixels"] < 100000 ? 1 : v["pixels"] < 1000000 ? 2 : 3
    n[c]++; a[c] += v["standard"]; b[c] += v["searched"]; t[c] += v["search_ms"]; p[c] += v["pixels"]
  }
  END {
    split("below 0.1 MP|0.1 to 1 MP|1 MP and more", name, "|")
    for (c = 1; c <= 3; ++c)
      if (n[c]) printf "| %s | %d | %d | %d | %.2f %% | %.1f |\n", name[c], n[c], a[c], b[c], 100 * (1 - b[c] / a[c]), t[c] / (p[c] / 1e6)
  }' "$work/harness"
