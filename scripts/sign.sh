#!/bin/bash
# Signs both programs of a release directory with Authenticode (SHA-256),
# optionally with an RFC 3161 time stamp, then rewrites its SHA256SUMS. The
# controller files are not signed or changed: the bridge pins their digests.
# Nothing in the directory changes unless both programs were signed.
# Usage: scripts/sign.sh DIST PFX PASSWORD_FILE [TIMESTAMP_URL]   (as 'make sign' calls it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fail() {
  echo "make sign: $*" >&2
  exit 1
}
[ $# -ge 3 ] && [ $# -le 4 ] || fail "usage: make sign PFX=certificate.pfx PASSWORD_FILE=password.txt [TIMESTAMP_URL=address]"
dist=$1 pfx=$2 password_file=$3 timestamp_url=${4:-}
[ -n "$pfx" ] || fail "name the PKCS#12 certificate: make sign PFX=certificate.pfx PASSWORD_FILE=password.txt"
[ -n "$password_file" ] || fail "name the file that holds the certificate's password: PASSWORD_FILE=password.txt"
[ -f "$pfx" ] || fail "the certificate $pfx does not exist"
[ -f "$password_file" ] || fail "the password file $password_file does not exist"
programs=(prelaunch-bridge.exe auto-updater.exe)
for program in "${programs[@]}"; do
  [ -f "$dist/$program" ] || fail "$dist/$program does not exist; run make first"
done

# The certificate must open with the password and hold a key and a certificate.
if ! contents=$(openssl pkcs12 -in "$pfx" -passin "file:$password_file" -nodes 2>&1); then
  if grep -q -i 'mac verify' <<<"$contents"; then
    fail "the password in $password_file does not open $pfx"
  fi
  fail "$pfx is not a PKCS#12 certificate"
fi
grep -q -- '-----BEGIN CERTIFICATE-----' <<<"$contents" || fail "$pfx holds no certificate"
grep -q -- 'PRIVATE KEY-----' <<<"$contents" || fail "$pfx holds no private key to sign with"
unset contents

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
declare -A descriptions=([prelaunch-bridge.exe]="Morvellane Prelaunch Bridge"
  [auto-updater.exe]="Morvellane Automatic Updater")
for program in "${programs[@]}"; do
  arguments=(sign -pkcs12 "$pfx" -readpass "$password_file" -h sha256 -n "${descriptions[$program]}")
  if [ -n "$timestamp_url" ]; then
    arguments+=(-ts "$timestamp_url")
  fi
  if ! osslsigncode "${arguments[@]}" -in "$dist/$program" -out "$work/$program" >"$work/log" 2>&1; then
    sed 's/^/  /' "$work/log" >&2
    fail "could not sign $program; $dist is unchanged"
  fi
done
for program in "${programs[@]}"; do
  cp "$work/$program" "$dist/$program"
  echo "signed: $dist/$program"
done
cmake -D DIR="$dist" -P "$root/build/write_checksums.cmake"
echo "rewritten: $dist/SHA256SUMS"
