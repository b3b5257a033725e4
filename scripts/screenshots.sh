#!/bin/bash
# Makes the README's pictures again: the updater's two kinds of dialog, from
# the real program in dist/, under Xvfb in a Wine virtual desktop (so that the
# window frame and caption show), as docs/*.png.
# Usage: scripts/screenshots.sh   (after make; starts its own Xvfb)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${SCREENSHOTS_UNDER_XVFB:-}" ]; then
  SCREENSHOTS_UNDER_XVFB=1 exec xvfb-run -a -s '-screen 0 1024x768x24' "$0" "$@"
fi
bin=$root/out/mingw/bin
source "$root/scripts/wine-prefix.sh"
install_powershell_engine "$root/out/tools/powershell-engine"
c=$WINEPREFIX/drive_c
# Wine draws the caption buttons with Marlett, which it does not find in
# Debian's font folder by itself.
cp /usr/share/wine/fonts/marlett.ttf "$c/windows/Fonts/"
mkdir -p "$c/Games/Morvellane" "$c/Games/profile" "$c/shots"
cp "$root"/dist/* "$c/Games/Morvellane/"
cp "$bin/java-standin.exe" "$c/Games/java.exe"
cd "$c"

# Both programs run in one Wine virtual desktop, where Wine draws the frames
# and captions itself.
desktop=/desktop=Morvellane,640x420

# shoot NAME UPDATER_ARGUMENTS...: starts the updater and takes its dialog.
shoot() {
  local name=$1
  shift
  rm -f "$c/shots/$name.bmp"
  wine explorer "$desktop" 'C:\Games\Morvellane\auto-updater.exe' "$@" >/dev/null 2>&1 &
  wine explorer "$desktop" "$(winepath -w "$bin/dialog-shot.exe")" 'Morvellane Automatic Updater' \
    "C:\\shots\\$name.bmp" >/dev/null 2>&1 &
  for _ in $(seq 600); do
    [ -s "$c/shots/$name.bmp" ] && break
    sleep 0.1
  done
  [ -s "$c/shots/$name.bmp" ] || { echo "no picture of $name" >&2; exit 1; }
  wait
  python3 - "$c/shots/$name.bmp" "$root/docs/$name.png" <<'PYTHON'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
offset, = struct.unpack_from("<I", data, 10)
width, height = struct.unpack_from("<ii", data, 18)
row = (width * 3 + 3) & ~3
rows = []
for y in reversed(range(height)):
    line = data[offset + y * row: offset + y * row + width * 3]
    rows.append(b"\x00" + b"".join(bytes((line[i + 2], line[i + 1], line[i])) for i in range(0, len(line), 3)))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
       chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
open(sys.argv[2], "wb").write(png)
PYTHON
  echo "docs/$name.png"
}

# No Java recorded by the installer: the missing-Java message.
wine reg delete 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /f >/dev/null 2>&1 || true
shoot missing-java-dialog -version
# A game start whose profile update fails: the update-failure dialog.
wine reg add 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /t REG_SZ /d 'C:\Games\java.exe' /f >/dev/null 2>&1
shoot update-failure-dialog --gamedir 'C:\Games\missing-profile'
