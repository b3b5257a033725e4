#!/bin/bash
# Runs every test in a throw-away Wine prefix (Windows 10) under a virtual display.
# Usage: tests/run-tests.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build_dir=$(cd "$1" && pwd)
shift

# The prefix's first processes start services that would inherit CTest's
# pipes; they start here, detached, before CTest runs anything.
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-prefix.sh"
install_powershell_engine "$root/out/tools/powershell-engine"

ctest --test-dir "$build_dir" --output-on-failure "$@"
