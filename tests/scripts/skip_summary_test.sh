#!/usr/bin/env bash
# scripts/skip-summary.sh on the JUnit file of a real ctest run of stand-in
# test programs: GoogleTest cases skipped with and without a reason (one far
# into a long output), a data-driven Qt Test case in a program that ctest
# then reports as skipped too (counted once), a program that ctest skips by
# its return code, and a run without any skip.
#   skip_summary_test.sh PATH/TO/skip-summary.sh
set -uo pipefail
script="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# A CMake project whose tests print what the given shell snippets print.
run_ctest() {
  local dir="$work/$1"; shift
  mkdir -p "$dir"
  {
    echo 'cmake_minimum_required(VERSION 3.20)'
    echo 'project(stand_ins NONE)'
    echo 'enable_testing()'
    local i=0
    for body in "$@"; do
      i=$((i + 1))
      printf '%s\n' "$body" >"$dir/t$i.sh"
      echo "add_test(NAME t$i COMMAND bash $dir/t$i.sh)"
      echo "set_tests_properties(t$i PROPERTIES SKIP_RETURN_CODE 77 SKIP_REGULAR_EXPRESSION \"SKIP   : \")"
    done
  } >"$dir/CMakeLists.txt"
  cmake -S "$dir" -B "$dir/build" >/dev/null
  (cd "$dir/build" && ctest --output-junit "$dir/junit.xml" \
    --test-output-size-passed 16777216 --test-output-size-failed 16777216 >/dev/null)
  "$script" "$dir/junit.xml"
}

check() {
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"; echo "  expected: $3"; echo "  got:      $2"; failures=$((failures + 1))
  fi
}

gtest='for i in $(seq 3000); do echo "[       OK ] Long.Case$i (0 ms)"; done
printf "[ RUN      ] Corpus.Read\n/src/a.cpp:12: Skipped\nthe shared corpus & <its files> are not there\n\n[  SKIPPED ] Corpus.Read (0 ms)\n"
printf "[ RUN      ] Corpus.Other\n/src/a.cpp:40: Skipped\nthe shared corpus & <its files> are not there\n\n[  SKIPPED ] Corpus.Other (0 ms)\n"
printf "[ RUN      ] Bare.Case\n/src/b.cpp:3: Skipped\n\n[  SKIPPED ] Bare.Case (0 ms)\n"
printf "[  SKIPPED ] 3 tests, listed below:\n[  SKIPPED ] Corpus.Read\n"'
qt='printf "PASS   : T::a()\nSKIP   : T::corpus(first file) no corpus (VELTO_CORPUS)\n   Loc: [t.cpp(9)]\n"'
whole='echo "starting"; echo "screenshot test skipped: no X display"; exit 77'
plain='echo "[       OK ] A.b (1 ms)"; echo "PASS   : T::a()"'

check "every kind of skip" "$(run_ctest all "$gtest" "$qt" "$whole" "$plain")" \
  "5 cases skipped: the shared corpus & <its files> are not there (2); no reason given (1); no corpus (VELTO_CORPUS) (1); screenshot test skipped: no X display (1)"
check "one skip" "$(run_ctest one "$whole")" "1 case skipped: screenshot test skipped: no X display (1)"
check "no skip" "$(run_ctest none "$plain")" "0 cases skipped"

[ "$failures" -eq 0 ]
