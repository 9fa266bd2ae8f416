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
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
