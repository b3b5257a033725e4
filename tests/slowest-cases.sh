#!/bin/bash
# slowest-cases.sh RESULTS_DIR [COUNT]: the COUNT (5) slowest test cases in the
# JUnit XML files that the test programs and the Pester run wrote there.
set -euo pipefail
count=${2:-5}
echo "Slowest test cases:"
for file in "$1"/*.xml; do
  [ -e "$file" ] || continue
  grep -o '<testcase [^>]*' "$file" | awk -v group="$(basename "$file" .xml)" '
    function attribute(key) {
      if (match($0, " " key "=\"[^\"]*\"")) return substr($0, RSTART + length(key) + 3, RLENGTH - length(key) - 4)
      return ""
    }
    { printf "%8.1f s  %s: %s %s\n", attribute("time"), group, attribute("classname"), attribute("name") }'
done | sort -rn | head -n "$count"
