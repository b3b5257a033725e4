#!/bin/bash
# signing.sh SOURCE_DIR DIST_DIR BIN_DIR: signs copies of DIST_DIR the way
# 'make sign' does, once with a throw-away self-signed PKCS#12 certificate and
# once with a key made inside a SoftHSM2 token that a test authority
# certified, and proves what an installer author and an auditor rely on. Runs
# under Wine in the test prefix (PowerShell engine at the system path).
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
sign() {  # sign DIR [SETTING=VALUE...]
  env "${@:2}" "$source_dir/scripts/sign.sh" "$1" >"$work/sign.out" 2>"$work/sign.err"
}
sums() { (cd "$1" && sha256sum ./*); }

cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out certificate.pem -days 2 \
  -subj "/CN=Morvellane test code signing" -addext "extendedKeyUsage=codeSigning" \
  -addext "keyUsage=digitalSignature" >/dev/null 2>&1
echo 'test password' > password.txt
openssl pkcs12 -export -inkey key.pem -in certificate.pem -passout file:password.txt -out certificate.pfx
pkcs12=(PFX=certificate.pfx PASSWORD_FILE=password.txt)

# A token, as SoftHSM2 makes one: the key is generated inside it, sensitive
# and never extractable, and a test authority certifies it.
module=$(dpkg -L softhsm2 libsofthsm2 2>/dev/null | grep -m1 '/libsofthsm2\.so$')
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir tokens
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" > "$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label morvellane-test --pin 2468 --so-pin 1357 >/dev/null
pkcs11-tool --module "$module" --token-label morvellane-test --login --pin 2468 --keypairgen --key-type rsa:2048 \
  --id 01 --label signing --usage-sign --sensitive >/dev/null 2>&1
echo 2468 > pin.txt
uri='pkcs11:token=morvellane-test;object=signing;type=private'
engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
printf '%s\n' 'openssl_conf = conf' '[conf]' 'engines = engines' '[engines]' 'pkcs11 = pkcs11' '[pkcs11]' \
  "dynamic_path = $engine" "MODULE_PATH = $module" > engine.cnf
OPENSSL_CONF=engine.cnf openssl req -new -engine pkcs11 -keyform engine -key "$uri" -passin file:pin.txt \
  -subj "/CN=Morvellane test signer" -out signer.csr >/dev/null 2>&1
openssl req -x509 -newkey rsa:2048 -nodes -keyout authority.key -out authority.pem -days 2 \
  -subj "/CN=Morvellane test authority" -addext "basicConstraints=critical,CA:true" \
  -addext "keyUsage=critical,keyCertSign" >/dev/null 2>&1
printf '%s\n' 'basicConstraints=CA:false' 'keyUsage=critical,digitalSignature' 'extendedKeyUsage=codeSigning' > signer.ext
openssl x509 -req -in signer.csr -CA authority.pem -CAkey authority.key -CAcreateserial -days 2 -extfile signer.ext \
  -out signer.pem >/dev/null 2>&1
cat signer.pem authority.pem > chain.pem
token=(PKCS11_MODULE="$module" PKCS11_KEY="$uri" CERTS=chain.pem PIN_FILE=pin.txt)
check "the token's key is sensitive and never extractable" \
  grep -q 'Access: *sensitive, always sensitive, never extractable' \
  <(pkcs11-tool --module "$module" --token-label morvellane-test --login --pin 2468 --list-objects --type privkey 2>&1)
# Logged in, OpenSSL gets a handle and the public half, never the key itself.
check "the token's key cannot be read out" bash -c "! OPENSSL_CONF=engine.cnf openssl pkey -engine pkcs11 \
  -inform engine -in '$uri' -passin file:pin.txt 2>/dev/null | grep -q 'PRIVATE KEY'"

for method in pkcs12 token; do
  if [ "$method" = pkcs12 ]; then settings=("${pkcs12[@]}") authority=certificate.pem; else settings=("${token[@]}") authority=authority.pem; fi
  rm -rf release && cp -r "$dist" release
  check "make sign's script signs the release with the $method key" sign release "${settings[@]}"
  for program in prelaunch-bridge.exe auto-updater.exe; do
    check "$program carries a SHA-256 Authenticode signature that verifies against its authority" \
      grep -q 'Signature verification: ok' <(osslsigncode verify -CAfile "$authority" -in "release/$program" 2>&1)
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
done

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
key="PKCS11_MODULE=$module PKCS11_KEY=$uri"
pin="PIN_FILE=pin.txt"
missing_key="PKCS11_MODULE=$module PKCS11_KEY=${uri/signing/nosuch}"
for fault in "untouched|PFX=broken.pfx PASSWORD_FILE=password.txt|broken.pfx is not a PKCS#12 certificate" \
  "untouched|PFX=certificate.pfx PASSWORD_FILE=wrong.txt|the password in wrong.txt does not open certificate.pfx" \
  "untouched|PFX=missing.pfx PASSWORD_FILE=password.txt|the certificate missing.pfx does not exist" \
  "untouched|PFX=certificate.pfx PASSWORD_FILE=missing.txt|the password file missing.txt does not exist" \
  "incomplete|${pkcs12[*]}|incomplete/auto-updater.exe does not exist; run make first" \
  "untouched|$key CERTS=chain.pem PIN_FILE=wrong.txt|the PIN in wrong.txt does not open the token; untouched is unchanged" \
  "untouched|PKCS11_MODULE=/missing/module.so PKCS11_KEY=$uri CERTS=chain.pem $pin|the PKCS#11 module /missing/module.so does not exist" \
  "untouched|PKCS11_MODULE=$engine PKCS11_KEY=$uri CERTS=chain.pem $pin|the PKCS#11 module $engine cannot be loaded; untouched is unchanged" \
  "untouched|$missing_key CERTS=chain.pem $pin|the token holds no private key at ${uri/signing/nosuch}; untouched is unchanged" \
  "untouched|$key CERTS=missing.pem $pin|the certificate chain missing.pem does not exist" \
  "untouched|$key CERTS=certificate.pem $pin|the certificate in certificate.pem does not match the key at $uri; untouched is unchanged"; do
  IFS='|' read -r target setting_text message <<<"$fault"
  read -r -a settings <<<"$setting_text"
  rm -rf untouched && cp -r "$dist" untouched
  before=$(sums "$target")
  status=0
  sign "$target" "${settings[@]}" || status=$?
  check "signing with '$setting_text' fails" test "$status" -ne 0
  check "... saying: $message" grep -q -x -F "make sign: $message" "$work/sign.err"
  check "... and leaves $target as it was" test "$before" = "$(sums "$target")"
done

[ "$failures" -eq 0 ] && echo "signing: all checks passed" || echo "signing: $failures checks failed"
exit $(( failures > 0 ))
