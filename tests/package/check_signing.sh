#!/usr/bin/env bash
# Signing with a throw-away self-signed code-signing certificate made here: package.sh signs both
# modules and both installers with SHA-256, and osslsigncode verifies each against that
# certificate. Without a certificate the package says in one line that it is unsigned, and its
# modules carry no signature.
# Usage: check_signing.sh
set -uo pipefail

root=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d /tmp/ls_tallowmer_signing_XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
source "$root/tests/wine/common.sh"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Tallowmer package test" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 &&
  openssl pkcs12 -export -out "$work/signer.pfx" -inkey "$work/key.pem" -in "$work/cert.pem" \
    -passout pass:throw-away >/dev/null 2>&1
result $? "a throw-away code-signing certificate"

LS_SIGN_PFX=$work/signer.pfx LS_SIGN_PASSWORD=throw-away "$root/packaging/package.sh" --out "$work/signed" \
  >"$work/signed.log" 2>&1
status=$?
[ "$status" -ne 0 ] && sed 's/^/    /' "$work/signed.log"
! grep -q '^Unsigned' "$work/signed.log" && [ "$status" -eq 0 ]
result $? "package.sh builds a signed package"

# The signed modules are the ones the zip carries (and the installers, built from the same files).
(cd "$work" && unzip -q signed/ls_tallowmer-*.zip x86/ls_tallowmer.dll x64/ls_tallowmer.dll -d modules)
for file in "$work"/signed/*.msi "$work"/modules/x86/ls_tallowmer.dll "$work"/modules/x64/ls_tallowmer.dll; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >"$work/verify.log" 2>&1
  status=$?
  [ "$status" -eq 0 ] && grep -q 'Signature verification: ok' "$work/verify.log" &&
    grep -q 'Message digest algorithm *: SHA256' "$work/verify.log"
  status=$?
  [ "$status" -ne 0 ] && sed 's/^/    /' "$work/verify.log"
  result $status "osslsigncode verifies the SHA-256 signature of ${file#"$work"/}"
done

"$root/packaging/package.sh" --out "$work/unsigned" >"$work/unsigned.log" 2>&1
[ "$(grep -c '^Unsigned' "$work/unsigned.log")" -eq 1 ]
result $? "without a certificate package.sh says in one line that the package is unsigned"
(cd "$work" && unzip -q unsigned/ls_tallowmer-*.zip x64/ls_tallowmer.dll -d plain)
! osslsigncode verify -CAfile "$work/cert.pem" -in "$work/plain/x64/ls_tallowmer.dll" >/dev/null 2>&1
result $? "an unsigned module fails verification"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
