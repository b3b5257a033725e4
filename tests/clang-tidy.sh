#!/bin/bash
# clang-tidy.sh SOURCE_DIR: the checks in .clang-tidy over the programs' own
# sources, with the clang-cl build's compile commands (the Windows SDK's
# headers); any finding fails.
set -euo pipefail
cd "$1"
clang-tidy-14 -p out/clang-cl --quiet bridge/*.cpp auto-updater/*.cpp
echo "clang-tidy: no findings in $(ls bridge/*.cpp auto-updater/*.cpp | wc -l) sources"
