#!/bin/bash
# signing.sh SOURCE_DIR DIST_DIR BIN_DIR: signs a copy of DIST_DIR the way
# 'make sign' does, with a throw-away self-signed code-signing certificate,
# and proves what an installer author and an auditor rely on. Runs under Wine
# in the test prefix (PowerShell engine at the system path).
set -uo pipefail
source_dir=$(cd "$1" && pwd)
dist=$(cd "$2" && pwd)
bin=$(cd "$3" && pwd)
work=$(mktemp -d /tmp/morvellane-signing.XXXXXX)
trap 'rm -rf "$work"; wine reg delete "HKCU\\Software\\Morvellane\\Tinderwick" /v JavaExecutable /f >/dev/null 2>&1' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
sign() { "$source_dir/scripts/sign.sh" "$@" >"$work/sign.out" 2>"$work/sign.err"; }
sums() { (cd "$1" && sha256sum ./*); }

cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out certificate.pem -days 2 \
  -subj "/CN=Morvellane test code signing" -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=digitalSignature" >/dev/null 2>&1
echo 'test password' > password.txt
openssl pkcs12 -export -inkey key.pem -in certificate.pem -passout file:password.txt -out certificate.pfx
cp -r "$dist" release

check "make sign's script signs the release" sign release certificate.pfx password.txt
for program in prelaunch-bridge.exe auto-updater.exe; do
  check "$program carries a SHA-256 Authenticode signature that verifies" \
    grep -q 'Signature verification: ok' <(osslsigncode verify -CAfile certificate.pem -in "release/$program" 2>&1)
  check "$program differs from the unsigned one" bash -c "! cmp -s release/$program '$dist/$program'"
  osslsigncode remove-signature -in "release/$program" -out "unsigned-$program" >/dev/null 2>&1
  check "$program without its signature is the unsigned build byte for byte" cmp "unsigned-$program" "$dist/$program"
done
for file in "$dist"/Morvellane.*; do
  check "$(basename "$file") is left as it was" cmp "$file" "release/$(basename "$file")"
done
check "SHA256SUMS lists the signed release" bash -c "cd release && sha256sum --quiet -c SHA256SUMS"
check "SHA256SUMS changed only in the programs' lines" \
  diff <(grep Morvellane "$dist/SHA256SUMS") <(grep Morvellane release/SHA256SUMS)

# A signature must not change behaviour: each signed program runs its road.
status=0
output=$(cd release && wine "$work/release/prelaunch-bridge.exe" 2>/dev/null) || status=$?
check "the signed bridge runs the shipped controller and exits 0" test "$status:$output" = \
  "0:Morvellane pre-launch check passed."$'\r'
cp "$bin/java-standin.exe" java.exe
wine reg add 'HKCU\Software\Morvellane\Tinderwick' /v JavaExecutable /t REG_SZ /d "$(winepath -w "$work/java.exe")" \
  /f >/dev/null 2>&1
status=0
STANDIN_JAVA_EXIT=42 STANDIN_RECORD_DIR=$(winepath -w "$work") wine release/auto-updater.exe -version 2>/dev/null ||
  status=$?
check "the signed updater hands over to Java and passes its exit code on" test "$status" = 42
check "Java got the unchanged argument tail" \
  grep -q -- '-version' <(iconv -f UTF-16LE -t UTF-8 java.txt 2>/dev/null)

# A fault stops signing with a clear message and leaves the release as it was.
echo 'not a certificate' > broken.pfx
echo 'wrong password' > wrong.txt
cp -r "$dist" incomplete && rm incomplete/auto-updater.exe
for fault in "broken.pfx password.txt|broken.pfx is not a PKCS#12 certificate" \
  "certificate.pfx wrong.txt|the password in wrong.txt does not open certificate.pfx" \
  "missing.pfx password.txt|the certificate missing.pfx does not exist" \
  "certificate.pfx missing.txt|the password file missing.txt does not exist" \
  "certificate.pfx password.txt incomplete|incomplete/auto-updater.exe does not exist; run make first"; do
  read -r pfx password target <<<"${fault%%|*}"
  target=${target:-untouched}
  rm -rf untouched && cp -r "$dist" untouched
  before=$(sums "$target")
  status=0
  sign "$target" "$pfx" "$password" || status=$?
  check "signing with '${fault%%|*}' fails" test "$status" -ne 0
  check "... saying: ${fault#*|}" grep -q -x -F "make sign: ${fault#*|}" "$work/sign.err"
  check "... and leaves $target as it was" test "$before" = "$(sums "$target")"
done

[ "$failures" -eq 0 ] && echo "signing: all checks passed" || echo "signing: $failures checks failed"
exit $(( failures > 0 ))
