#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Usage: scripts/install-deps.sh [build|bench|gui]...   (default: build)
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config zlib1g-dev libpng-dev liblcms2-dev
            libboost-filesystem-dev libjpeg62-turbo-dev libmd-dev libgtest-dev
            clang libclang-rt-14-dev apngdis libjpeg-turbo-progs)
# The front end: Qt, a font with the Chinese interface texts, and a virtual X
# server for the screenshot test.
gui_pkgs=(qt6-base-dev fonts-wqy-microhei xvfb xauth)
bench_pkgs=(optipng zopfli pngquant libjpeg-turbo-progs jpegoptim libdeflate-dev
            imagemagick advancecomp time apngopt ffmpeg)

# clang's OpenMP runtime, for the fuzz build.
build_pkgs+=(libomp-dev)
wanted=()
[ $# -eq 0 ] && set -- build
for group in "$@"; do
  case "$group" in
    build) wanted+=("${build_pkgs[@]}") ;;
    gui)   wanted+=("${gui_pkgs[@]}") ;;
    bench) wanted+=("${bench_pkgs[@]}") ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# Another program may hold the package manager's locks (an unattended upgrade,
# another install): wait for them, up to VELTO_APT_LOCK_WAIT seconds in all
# (default 600). Given DPkg::Lock::Timeout, apt waits by itself for dpkg's
# locks; it does not wait for the lists lock of "apt-get update" nor for the
# lock of the package cache's download folder, so a call that failed on a
# held lock is made again until the time is up.
lock_wait="${VELTO_APT_LOCK_WAIT:-600}"
deadline=$(( $(date +%s) + lock_wait ))
told_waiting=""

apt_get() {
  local err rc remaining
  err="$(mktemp)"
  while :; do
    remaining=$(( deadline - $(date +%s) ))
    [ "$remaining" -lt 0 ] && remaining=0
    rc=0
    # apt's messages in English, so that a held lock can be recognised.
    LC_ALL=C apt-get -o DPkg::Lock::Timeout="$remaining" "$@" 2>"$err" || rc=$?
    if [ "$rc" -ne 0 ] && grep -q 'Could not get lock' "$err" && [ "$(date +%s)" -lt "$deadline" ]; then
      if [ -z "$told_waiting" ]; then
        echo "install-deps: another program holds the package manager's lock; waiting up to ${lock_wait} s" >&2
        told_waiting=1
      fi
      sleep 2
      continue
    fi
    cat "$err" >&2
    rm -f "$err"
    return "$rc"
  done
}

apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
