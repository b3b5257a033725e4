#!/bin/bash
# reproducible-build.sh SOURCE_DIR DIST_DIR: builds the programs once more from
# a copy of the sources in another directory, installs them, and compares
# every file with DIST_DIR byte for byte; both SHA256SUMS must list their tree.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
dist=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/morvellane-second-build.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The sources as they stand: tracked files and new ones that git does not ignore.
# Only the file list is read, so a checkout that git refuses as owned by
# another user (a CI container running as root) is taken as it is.
mkdir -p "$work/sources"
(cd "$source_dir" && git -c safe.directory="$source_dir" ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    if [ -f "$file" ]; then cp --parents "$file" "$work/sources"; fi
  done)
cmake -S "$work/sources" -B "$work/elsewhere" -DCMAKE_TOOLCHAIN_FILE="$work/sources/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/elsewhere" -j2 >/dev/null
# A relative prefix from the caller's directory, with no PWD, as PowerShell calls it.
(cd "$work" && env -u PWD cmake --install elsewhere --prefix dist >/dev/null)

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
for tree in "$dist" "$work/dist"; do
  [ "$(wc -l <"$tree/SHA256SUMS")" -eq "$(($(ls "$tree" | wc -l) - 1))" ] || { echo "$tree/SHA256SUMS is short"; status=1; }
  (cd "$tree" && sha256sum --quiet -c SHA256SUMS) || status=1
done
exit $status
