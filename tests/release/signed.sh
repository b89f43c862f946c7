#!/usr/bin/env bash
# A release signed with a throwaway code-signing certificate verifies, runs,
# matches its checksums and has the Authenticode digest of this build's
# unsigned zelunst.exe, checked as docs/releasing.md tells; a wrong password or a
# certificate not meant for code signing leaves nothing behind.
#   signed.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=$1 build=$2
. "$source/scripts/winelib.sh"
fail() { echo "signed.sh: $*" >&2; exit 1; }

zel_make_template "$build/wine-template"
zel_enter_scratch_prefix "$build" zelsigned
keys=$ZEL_SCRATCH/keys out=$ZEL_SCRATCH/out
mkdir "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=zelunst test signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
openssl pkcs12 -export -in "$keys/cert.pem" -inkey "$keys/key.pem" -passout pass:right -out "$keys/signer.pfx"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=zelunst test server" \
    -addext extendedKeyUsage=serverAuth -keyout "$keys/server-key.pem" -out "$keys/server.pem" 2>/dev/null
openssl pkcs12 -export -in "$keys/server.pem" -inkey "$keys/server-key.pem" -passout pass:right -out "$keys/server.pfx"

# Refused before anything is built: a wrong password, a certificate for another use.
for refused in "wrong signer.pfx wrong password" "right server.pfx not for code signing"; do
    read -r password pfx message <<<"$refused"
    code=0
    ZEL_SIGN_PASSWORD=$password "$source/scripts/release.sh" --sign "$keys/$pfx" "$out" 2>"$keys/err" || code=$?
    if [ "$code" -ne 1 ] || ! grep -q "$message" "$keys/err"; then
        fail "$pfx with password $password gave exit code $code and: $(cat "$keys/err")"
    fi
    [ ! -e "$out" ] || fail "a failed release left $out behind"
done

ZEL_SIGN_PASSWORD=right "$source/scripts/release.sh" --sign "$keys/signer.pfx" "$out" >/dev/null
release=$(echo "$out"/zelunst-*/)
osslsigncode verify -CAfile "$keys/cert.pem" -in "$release/zelunst.exe" >"$keys/verify" ||
    fail "the signed exe does not verify: $(cat "$keys/verify")"
(cd "$release" && sha256sum -c --quiet SHA256SUMS)
signed=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$keys/verify")
osslsigncode extract-data -h sha256 -in "$build/bin/zelunst.exe" -out "$keys/unsigned.p7" >/dev/null
unsigned=$(openssl asn1parse -inform DER -in "$keys/unsigned.p7" | sed -n 's/.*HEX DUMP\]://p')
[[ -n $signed && $signed == "$unsigned" ]] || fail "digest of the signed exe $signed, of the unsigned one $unsigned"

cp "$release/zelunst.exe" .
unset DISPLAY
zel_boot_prefix
code=0
wine ./zelunst.exe '-?' >/dev/null 2>&1 || code=$?
[ "$code" -eq 0 ] || fail "the signed zelunst.exe -? exited with $code"
grep -q "Now, RunHandle" ZelUnst.log || fail "no 'Now, RunHandle' in the signed exe's run log"
