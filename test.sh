#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the release build with all tests, the front end's included (its window
#      tests on Qt's offscreen platform, its screenshots under a virtual X server);
#   2. the codec tests again under AddressSanitizer and UBSan;
#   3. the fuzz targets for a bounded time.
# It ends with the number of test cases each suite skipped and why (a skip is
# no failure, but a run that skipped cases did not check everything).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
scripts/install-deps.sh build gui

jobs="$(nproc)"
status=0

echo "== release build and tests"
scripts/build.sh build Release -DVELTO_GUI=ON
# The JUnit files keep every test's whole output, where skipped cases and
# their reasons stand.
junit_args=(--test-output-size-passed 16777216 --test-output-size-failed 16777216)
rm -f build/junit.xml build-asan/junit.xml
(cd build && ctest --output-on-failure -j "$jobs" --output-junit "$here/build/junit.xml" "${junit_args[@]}") || status=1

echo "== sanitizer build, codec tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_SANITIZE=ON -DVELTO_GUI=OFF >/dev/null
# Only the codec tests run here, so only they (and what they link) are built.
codec_tests="$(cd build-asan && ctest -N -L codec | awk '/Test +#[0-9]+:/ {print $3}')"
# shellcheck disable=SC2086
cmake --build build-asan --parallel "$jobs" --target $codec_tests
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j "$jobs" -L codec \
  --output-junit "$here/build-asan/junit.xml" "${junit_args[@]}") || status=1

if ls tests/fuzz/*.cmake >/dev/null 2>&1; then
  echo "== fuzz targets"
  # The targets run side by side for VELTO_FUZZ_SECONDS each, seeded from the
  # shared corpus (read in place) when it is there. An input that fails is
  # left in build-fuzz/artifacts-<target>/; keep it as a regression fixture in
  # tests/fuzz/regressions/<target without "fuzz_">/ once the fault is mended.
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_FUZZ=ON -DVELTO_GUI=OFF >/dev/null
  cmake --build build-fuzz --parallel "$jobs" --target fuzz_all
  pids=()
  targets=()
  for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name="$(basename "$f")"
    # Each target is seeded from the corpus folder of the format it reads.
    case "$name" in
      fuzz_jpeg_*) seed_dir=../shared/corpus/jpeg ;;
      fuzz_apng_*) seed_dir=../shared/corpus/apng ;;
      *)           seed_dir=../shared/corpus/png ;;
    esac
    seeds=()
    [ -d "$seed_dir" ] && seeds=("$seed_dir")
    mkdir -p "build-fuzz/corpus-$name" "build-fuzz/artifacts-$name"
    "$f" -max_total_time="${VELTO_FUZZ_SECONDS:-60}" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix="build-fuzz/artifacts-$name/" "build-fuzz/corpus-$name" "${seeds[@]}" \
      >"build-fuzz/$name.log" 2>&1 &
    pids+=($!)
    targets+=("$name")
  done
  for i in "${!pids[@]}"; do
    name="${targets[$i]}"
    if wait "${pids[$i]}"; then
      echo "$name: ok"
    else
      echo "$name: FAILED"; tail -40 "build-fuzz/$name.log"; status=1
    fi
  done
fi

echo "== skipped test cases"
for suite in "release build:build" "sanitizer build:build-asan"; do
  label="${suite%%:*}"; dir="${suite#*:}"
  if [ -f "$dir/junit.xml" ]; then
    echo "$label: $(scripts/skip-summary.sh "$dir/junit.xml")"
  else
    echo "$label: no test results"
  fi
done

exit $status
