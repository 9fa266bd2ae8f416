#!/usr/bin/env bash
# Installs what is missing, builds, and runs the engine on the given files and folders.
#   ./run.sh [engine options] PATH...
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/install-deps.sh" build >&2
"$here/scripts/build.sh" build Release >&2
exec "$here/build/core" "$@"
