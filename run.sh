#!/usr/bin/env bash
# Installs what is missing, builds, and starts one of the two programs:
#   ./run.sh                            the front end velto
#   ./run.sh --gui PATH...              the front end with these files and folders in its list
#   ./run.sh [engine options] PATH...   the engine core on these files and folders
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if [ $# -eq 0 ] || [ "$1" = "--gui" ]; then
  [ $# -gt 0 ] && shift
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: the front end velto needs a graphical display, and neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
    echo "To optimise files without one, run the engine: ./run.sh [options] PATH..." >&2
    exit 1
  fi
  "$here/scripts/install-deps.sh" build gui >&2
  "$here/scripts/build.sh" build Release -DVELTO_GUI=ON >&2
  exec "$here/build/velto" "$@"
fi

# The engine alone needs no GUI packages; without Qt the front end is left out
# of the build.
gui=()
installed qt6-base-dev || gui=(-DVELTO_GUI=OFF)
"$here/scripts/install-deps.sh" build >&2
"$here/scripts/build.sh" build Release "${gui[@]}" >&2
exec "$here/build/core" "$@"
