#!/usr/bin/env bash
# Signs the unsigned build from ./build.sh with Authenticode (osslsigncode, SHA-256), checks
# the result and replaces the build with it, then rewrites SHA256SUMS for the signed file.
#
# Usage: ./release.sh [unsigned exe]   (default: the executable ./build.sh put in dist/)
# Inputs (environment):
#   ORVELLE_SIGN_PKCS12         PKCS#12 file with the code-signing certificate and its key
#   ORVELLE_SIGN_PASSWORD_FILE  file whose first line is the PKCS#12 password, or
#   ORVELLE_SIGN_PASSWORD       the password itself (never passed on a command line)
#   ORVELLE_SIGN_CA_FILE        PEM file with the CA certificates the signature must chain to
#   ORVELLE_SIGN_URL            the publisher's web address, shown in the signature
#   ORVELLE_TIMESTAMP_URL       optional RFC 3161 time-stamp server
#   SOURCE_DATE_EPOCH           optional fixed signing time (Unix seconds)
set -euo pipefail
here=$(dirname "$0")
if [ -n "${1:-}" ]; then
    exe=$1
elif [ -f "$here/build/mingw/product.env" ]; then
    # ORVELLE_EXECUTABLE: the executable's file name, written by CMake.
    . "$here/build/mingw/product.env"
    exe=$here/dist/$ORVELLE_EXECUTABLE
else
    echo "release: no build found; run ./build.sh first" >&2
    exit 1
fi

product="ORVELLE GAME SUPPORT"

fail() {
    echo "release: $*" >&2
    exit 1
}

password() {
    if [ -n "${ORVELLE_SIGN_PASSWORD_FILE:-}" ]; then
        head -n1 "$ORVELLE_SIGN_PASSWORD_FILE" | tr -d '\r\n'
    else
        printf '%s' "$ORVELLE_SIGN_PASSWORD"
    fi
}

for input in ORVELLE_SIGN_PKCS12 ORVELLE_SIGN_CA_FILE ORVELLE_SIGN_URL; do
    [ -n "${!input:-}" ] || fail "set $input (see README)"
done
[ -n "${ORVELLE_SIGN_PASSWORD_FILE:-}" ] || [ -n "${ORVELLE_SIGN_PASSWORD+set}" ] ||
    fail "set ORVELLE_SIGN_PASSWORD_FILE (or ORVELLE_SIGN_PASSWORD)"
[ -f "$exe" ] || fail "$exe not found; run ./build.sh first"

"$here/tools/apt-install-missing.sh" release.sh osslsigncode openssl

# Windows only accepts Authenticode signatures from a certificate made for code signing.
certificate=$(openssl pkcs12 -in "$ORVELLE_SIGN_PKCS12" -passin "file:"<(password) \
    -nokeys -clcerts) || fail "cannot read $ORVELLE_SIGN_PKCS12 (wrong password?)"
usage=$(openssl x509 -noout -ext extendedKeyUsage <<<"$certificate" 2>/dev/null || true)
grep -qE "^ *Code Signing(,|$)|, Code Signing(,|$)" <<<"$usage" ||
    fail "the certificate in $ORVELLE_SIGN_PKCS12 lacks the code-signing extended key usage"

work=$(mktemp -d "$(dirname "$exe")/.release.XXXXXX")
trap 'rm -rf "$work"' EXIT
signed="$work/$(basename "$exe")"

if osslsigncode extract-signature -in "$exe" -out "$work/existing.sig" >/dev/null 2>&1; then
    fail "$exe is already signed; run ./build.sh for a fresh unsigned build"
fi

options=(-pkcs12 "$ORVELLE_SIGN_PKCS12" -h sha256 -n "$product" -i "$ORVELLE_SIGN_URL")
[ -z "${ORVELLE_TIMESTAMP_URL:-}" ] || options+=(-ts "$ORVELLE_TIMESTAMP_URL")
[ -z "${SOURCE_DATE_EPOCH:-}" ] || options+=(-time "$SOURCE_DATE_EPOCH")
osslsigncode sign "${options[@]}" -readpass <(password) -in "$exe" -out "$signed" >/dev/null ||
    fail "osslsigncode could not sign $exe"

"$here/tools/check-signed-release.sh" "$signed" "$exe" "$ORVELLE_SIGN_CA_FILE"

unsigned_hash=$(sha256sum "$exe" | cut -d' ' -f1)
chmod --reference="$exe" "$signed"
mv "$signed" "$exe"
(cd "$(dirname "$exe")" && sha256sum "$(basename "$exe")" > SHA256SUMS)
signed_hash=$(sha256sum "$exe" | cut -d' ' -f1)

echo "Signed $exe"
echo "SHA-256 unsigned $unsigned_hash"
echo "SHA-256 signed   $signed_hash"
