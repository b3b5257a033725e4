#!/bin/bash
# Signs both programs of a release directory with Authenticode (SHA-256),
# optionally with an RFC 3161 time stamp, then rewrites its SHA256SUMS. The
# controller files are not signed or changed: the bridge pins their digests.
# Nothing in the directory changes unless both programs were signed.
# Usage, as 'make sign' calls it, with the key named in the environment:
#   a key in a token or HSM:  PKCS11_MODULE=module.so PKCS11_KEY='pkcs11:...' CERTS=chain.pem [PIN_FILE=pin.txt]
#   a PKCS#12 file:           PFX=certificate.pfx PASSWORD_FILE=password.txt
#   either, optionally:       TIMESTAMP_URL=address
#   scripts/sign.sh DIST
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fail() {
  echo "make sign: $*" >&2
  exit 1
}
usage="make sign PKCS11_MODULE=module.so PKCS11_KEY='pkcs11:...' CERTS=chain.pem [PIN_FILE=pin.txt], or PFX=certificate.pfx PASSWORD_FILE=password.txt"
[ $# -eq 1 ] || fail "usage: $usage"
dist=$1
pfx=${PFX:-} password_file=${PASSWORD_FILE:-} timestamp_url=${TIMESTAMP_URL:-}
module=${PKCS11_MODULE:-} key=${PKCS11_KEY:-} certs=${CERTS:-} pin_file=${PIN_FILE:-}
programs=(prelaunch-bridge.exe auto-updater.exe)

if [ -n "$module$key$certs$pin_file" ]; then
  [ -z "$pfx$password_file" ] || fail "name either a token's key or a PKCS#12 file, not both"
  [ -n "$module" ] || fail "name the token's PKCS#11 module: PKCS11_MODULE=module.so"
  [ -n "$key" ] || fail "name the signing key in the token: PKCS11_KEY='pkcs11:token=...;object=...;type=private'"
  [ -n "$certs" ] || fail "name the signing certificate and its chain: CERTS=chain.pem"
  [ -f "$module" ] || fail "the PKCS#11 module $module does not exist"
  [ -f "$certs" ] || fail "the certificate chain $certs does not exist"
  [ -z "$pin_file" ] || [ -f "$pin_file" ] || fail "the PIN file $pin_file does not exist"
  grep -q -- '-----BEGIN CERTIFICATE-----' "$certs" || fail "$certs holds no PEM certificate"
  engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
  [ -f "$engine" ] || fail "OpenSSL's PKCS#11 engine $engine is missing; run make first, which installs it"
  # osslsigncode finds the engine by name: 2.5, Debian 12's own, refuses it by path.
  key_arguments=(-pkcs11module "$module" -certs "$certs" -key "$key")
  [ -z "$pin_file" ] || key_arguments+=(-readpass "$pin_file")
else
  [ -n "$pfx" ] || fail "usage: $usage"
  [ -n "$password_file" ] || fail "name the file that holds the certificate's password: PASSWORD_FILE=password.txt"
  [ -f "$pfx" ] || fail "the certificate $pfx does not exist"
  [ -f "$password_file" ] || fail "the password file $password_file does not exist"
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
  key_arguments=(-pkcs12 "$pfx" -readpass "$password_file")
fi

# What a token's fault looks like in the PKCS#11 engine's messages, and what
# to do about it: a pattern for grep, then the line to say.
explain_token_fault() {
  local pattern message
  while IFS='>' read -r pattern message; do
    if grep -q -- "$pattern" "$1"; then
      echo "$message"
      return
    fi
  done <<RULES
PIN incorrect\|PIN_LEN_RANGE>the PIN ${pin_file:+in $pin_file }does not open the token
PIN locked>the token's PIN is locked; unlock it with the token's own tool
Login failed\|Login to token failed>the token wants a PIN: give PIN_FILE=pin.txt
Unable to load module\|Unable to load PKCS#11 module>the PKCS#11 module $module cannot be loaded
No matching initialized token>no token matches $key; plug it in, or check the URI's token=
private key was not found\|object not found>the token holds no private key at $key
key values mismatch\|consistency of a private key>the certificate in $certs does not match the key at $key
RULES
}

for program in "${programs[@]}"; do
  [ -f "$dist/$program" ] || fail "$dist/$program does not exist; run make first"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The token's key opens and belongs to a certificate of the chain, asked
# through OpenSSL's engine before anything is signed, whatever osslsigncode
# itself would notice.
if [ -n "$module" ]; then
  printf '%s\n' 'openssl_conf = conf' '[conf]' 'engines = engines' '[engines]' 'pkcs11 = pkcs11' '[pkcs11]' \
    "dynamic_path = $engine" "MODULE_PATH = $module" > "$work/engine.cnf"
  if ! OPENSSL_CONF=$work/engine.cnf openssl pkey -engine pkcs11 -inform engine -in "$key" \
    ${pin_file:+-passin "file:$pin_file"} -pubout -out "$work/key.pub" >"$work/log" 2>&1; then
    reason=$(explain_token_fault "$work/log") || true
    [ -n "$reason" ] || { sed 's/^/  /' "$work/log" >&2; reason="the token's key at $key cannot be used"; }
    fail "$reason; $dist is unchanged"
  fi
  awk -v dir="$work" '/-----BEGIN CERTIFICATE-----/ { n++ } n { print > (dir "/certificate" n ".pem") }' "$certs"
  matched=no
  for certificate in "$work"/certificate*.pem; do
    openssl x509 -in "$certificate" -pubkey -noout 2>/dev/null | cmp -s - "$work/key.pub" && matched=yes
  done
  [ "$matched" = yes ] || fail "the certificate in $certs does not match the key at $key; $dist is unchanged"
fi

declare -A descriptions=([prelaunch-bridge.exe]="Morvellane Prelaunch Bridge"
  [auto-updater.exe]="Morvellane Automatic Updater")
for program in "${programs[@]}"; do
  arguments=(sign "${key_arguments[@]}" -h sha256 -n "${descriptions[$program]}")
  if [ -n "$timestamp_url" ]; then
    arguments+=(-ts "$timestamp_url")
  fi
  if ! osslsigncode "${arguments[@]}" -in "$dist/$program" -out "$work/$program" >"$work/log" 2>&1; then
    if [ -n "$module" ] && reason=$(explain_token_fault "$work/log") && [ -n "$reason" ]; then
      fail "$reason; $dist is unchanged"
    fi
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
