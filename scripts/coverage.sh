#!/bin/bash
# make coverage: builds the programs' code with coverage counters (the
# coverage preset, out/coverage), runs the whole suite under Wine, then prints
# line coverage (with the lines never reached) and branch coverage for each
# program file. Ends with the suite's result.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=out/coverage
cmake --preset coverage >/dev/null || exit 1
cmake --build --preset coverage -j2 || exit 1
find "$build" -name '*.gcda' -delete
xvfb-run -a tests/run-tests.sh "$build"
suite=$?

report=(gcovr --root "$root" --object-directory "$build" --gcov-executable x86_64-w64-mingw32-gcov-posix
  --filter 'bridge/' --filter 'auto-updater/' --exclude-unreachable-branches)
echo; echo "== Lines"
"${report[@]}" --txt
echo; echo "== Branches"
"${report[@]}" --txt --branches
exit $suite
