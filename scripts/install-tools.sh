#!/bin/bash
# Installs what building, signing and testing need on Debian, as root:
# MinGW-w64, CMake, Wine, Xvfb, osslsigncode and OpenSSL from Debian; into
# out/tools PowerShell 7.6.10 for this machine (dotnet tool), Pester 5 (NuGet)
# and the PowerShell 7.6.10 engine for Windows that stands in for Windows
# PowerShell inside the Wine prefixes (NuGet, built from tests/engine). Does
# nothing for what is already there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tools=$root/out/tools

packages="g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake make
  wine wine64 xvfb xauth googletest osslsigncode openssl"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "Installing Debian packages:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

if ! command -v dotnet >/dev/null; then
  echo "The .NET SDK (dotnet) is needed for PowerShell 7 and Pester." >&2
  exit 1
fi
mkdir -p "$tools"
if [ ! -x "$tools/pwsh" ]; then
  # A plain install takes 7.7.0, which does not run here.
  dotnet tool install PowerShell --version 7.6.10 --tool-path "$tools" >/dev/null
fi
if [ ! -f "$tools/nuget/pester/5.7.1/tools/Pester.psd1" ]; then
  restore=$(mktemp -d)
  cat > "$restore/pester.csproj" <<'PROJECT'
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup><TargetFramework>net10.0</TargetFramework></PropertyGroup>
  <ItemGroup><PackageDownload Include="Pester" Version="[5.7.1]" /></ItemGroup>
</Project>
PROJECT
  dotnet restore "$restore/pester.csproj" --packages "$tools/nuget" >/dev/null
  rm -rf "$restore"
fi

# The Windows engine: published self-contained for win-x64, rebuilt only when
# the host's sources change. The built-in modules move beside the host, where
# Windows PowerShell keeps them ($PSHOME\Modules).
engine=$tools/powershell-engine
engine_stamp=$(cat "$root"/tests/engine/*.cs "$root"/tests/engine/*.csproj | sha256sum | cut -c1-64)
if [ "$(cat "$engine/.sources-sha256" 2>/dev/null)" != "$engine_stamp" ]; then
  echo "Building the PowerShell engine for Windows (win-x64)"
  rm -rf "$engine" "$tools/powershell-engine-build"
  dotnet publish "$root/tests/engine/PowerShellEngine.csproj" -c Release -nologo -v quiet \
    --artifacts-path "$tools/powershell-engine-build" -o "$engine" >/dev/null
  mv "$engine/runtimes/win/lib/net10.0/Modules" "$engine/Modules"
  rm -rf "$engine/runtimes/unix" "$tools/powershell-engine-build"
  echo "$engine_stamp" > "$engine/.sources-sha256"
fi
