#!/usr/bin/env bash
# The main job: builds the patch for Windows and shows it at work on
# throwaway Wine machines, printing every message box it shows and the
# registrations before and after. Story names (tests/wine/stories) may be
# given to run only those; --list names them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

BUILD=build/e2e-win
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3

scripts/install-deps.sh
scripts/host-kind.sh
mkdir -p build
echo "Building the patch (windows preset, $BUILD)..."
if ! { cmake --preset windows -B "$BUILD" && cmake --build "$BUILD" -j 2; } >build/e2e-demo-build.log 2>&1; then
    tail -n 40 build/e2e-demo-build.log
    echo "demo: the build failed (log: build/e2e-demo-build.log)" >&2
    exit 1
fi
exec "$PYTHON" tests/wine/demo.py --build-dir "$BUILD" "$@"
