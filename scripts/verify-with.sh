#!/usr/bin/env bash
# Checks that the committed tree plus the given working-tree files builds and
# passes every test, in a fresh clone, before those files are committed.
#   scripts/verify-with.sh FILE...
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d /tmp/verify.XXXXXX)"
git -C "$here" clone -q "$here" "$work/repo"
ln -s "$(cd "$here/../shared" && pwd)" "$work/shared"
for f in "$@"; do
  rel="$(realpath --relative-to="$here" "$f")"
  if [ -e "$here/$rel" ]; then
    mkdir -p "$work/repo/$(dirname "$rel")"
    cp -a "$here/$rel" "$work/repo/$rel"
  else
    rm -rf "$work/repo/$rel"
  fi
done
cd "$work/repo"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTO_GUI=OFF >/dev/null
cmake --build build --parallel "${VERIFY_JOBS:-3}" >build.log 2>&1 || { tail -60 build.log; echo "verify: BUILD FAILED ($work)"; exit 1; }
(cd build && ctest -j "${VERIFY_JOBS:-3}" --output-on-failure) > ctest.log 2>&1 || { tail -80 ctest.log; echo "verify: TESTS FAILED ($work)"; exit 1; }
tail -3 ctest.log
rm -rf "$work"
echo "verify: OK"
