#!/bin/bash
# reproducible-build.sh SOURCE_DIR DIST_DIR: builds the programs once more from
# a copy of the sources in another directory, installs them, and compares
# every file with DIST_DIR byte for byte.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
dist=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/morvellane-second-build.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The sources as they stand: tracked files and new ones that git does not ignore.
mkdir -p "$work/sources"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
  if [ -f "$file" ]; then cp --parents "$file" "$work/sources"; fi
done)
cmake -S "$work/sources" -B "$work/elsewhere" -DCMAKE_TOOLCHAIN_FILE="$work/sources/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/elsewhere" -j2 >/dev/null
cmake --install "$work/elsewhere" --prefix "$work/dist" >/dev/null

status=0
if [ "$(cd "$dist" && ls)" != "$(cd "$work/dist" && ls)" ]; then
  echo "the two trees hold different files:"; diff <(cd "$dist" && ls) <(cd "$work/dist" && ls) || true
  status=1
fi
for file in "$dist"/*; do
  name=$(basename "$file")
  if cmp -s "$file" "$work/dist/$name"; then
    echo "same: $name"
  else
    echo "differs: $name"; cmp -l "$file" "$work/dist/$name" | head -n 5 || true; status=1
  fi
done
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || status=1
exit $status
