#!/bin/bash
# make windows-kit: lays out out/windows-kit/ and zips it as
# out/windows-kit.zip: the release as in dist/, the test programs and
# stand-ins with the pin sets and script texts they read, Pester 5.7.1 with
# the Pester tests, the README whose recipes they run, and Run-WindowsKit.ps1,
# which runs them all on Windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/out/mingw
kit=$root/out/windows-kit
rm -rf "$kit" "$kit.zip"
mkdir -p "$kit"/{release,bin,controller,pins/max-size,pins/test-entry,scripts,pester,powershell}
cp "$root"/dist/* "$kit/release/"
for program in bridge-tests auto-updater-tests powershell-standin java-standin prelaunch-bridge-short-timeout \
  prelaunch-bridge-max-size prelaunch-bridge-test-entry prelaunch-bridge-test-entry-short-timeout; do
  cp "$build/bin/$program.exe" "$kit/bin/"
done
cp "$root"/controller/* "$kit/controller/"
cp "$build"/tests/max-size-pins/* "$kit/pins/max-size/"
cp "$build"/tests/test-entry-pins/* "$kit/pins/test-entry/"
cp "$build/bridge/prelaunch-bridge-generated/prelaunch.ps1" "$kit/scripts/prelaunch.ps1"
cp "$root/auto-updater/bootstrap.ps1" "$root/auto-updater/auto-updater.manifest" "$kit/scripts/"
cp -r "$root/out/tools/nuget/pester/5.7.1/tools/." "$kit/pester/"
cp "$root"/tests/powershell/*.ps1 "$kit/powershell/"
cp "$root/tests/Run-WindowsKit.ps1" "$root/README.md" "$kit/"
(cd "$kit" && cmake -E tar cf "$kit.zip" --format=zip .)
echo "out/windows-kit/ and out/windows-kit.zip ($(du -sh "$kit.zip" | cut -f1))"
