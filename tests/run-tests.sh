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

rm -rf "$build_dir/test-results"
mkdir -p "$build_dir/test-results"
status=0
ctest --test-dir "$build_dir" --output-on-failure "$@" || status=$?
# The five slowest cases, from the JUnit XML the groups write there.
echo "Slowest test cases:"
for file in "$build_dir"/test-results/*.xml; do
  [ -e "$file" ] || continue
  grep -o '<testcase [^>]*' "$file" | awk -v group="$(basename "$file" .xml)" '
    function attribute(key) {
      return match($0, " " key "=\"[^\"]*\"") ? substr($0, RSTART + length(key) + 3, RLENGTH - length(key) - 4) : ""
    }
    { printf "%8.1f s  %s: %s %s\n", attribute("time"), group, attribute("classname"), attribute("name") }'
done | sort -rn | head -n 5 || true
exit $status
