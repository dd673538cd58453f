#!/usr/bin/env bash
# Signs the unsigned build from ./build.sh with Authenticode (osslsigncode, SHA-256), checks
# the result and replaces the build with it, then rewrites SHA256SUMS for the signed file.
# The signature carries the code-signing certificate and every intermediate certificate up to
# (not including) the root, so that it verifies on a PC that cannot fetch certificates.
#
# Usage: ./release.sh [unsigned exe]   (default: the executable ./build.sh put in dist/)
# Inputs (environment):
#   ORVELLE_SIGN_PKCS12         PKCS#12 file with the code-signing certificate and its key
#   ORVELLE_SIGN_PASSWORD_FILE  file whose first line is the PKCS#12 password, or
#   ORVELLE_SIGN_PASSWORD       the password itself (never passed on a command line)
#   ORVELLE_SIGN_CA_FILE        PEM file with the root certificate and the intermediates
#   ORVELLE_SIGN_URL            the publisher's web address, shown in the signature
#   ORVELLE_TIMESTAMP_URL       optional RFC 3161 time-stamp server
#   ORVELLE_TIMESTAMP_TIMEOUT   seconds the signing may take, time-stamp call included (60)
#   SOURCE_DATE_EPOCH           optional fixed signing time (Unix seconds)
# Whatever ends it (a failure, INT or TERM), it leaves the unsigned build and its
# SHA256SUMS as they were and removes its work folder (dist/.release.*).
set -euo pipefail
here=$(dirname "$0")
. "$here/tools/certificates.sh"

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
default_timeout=60
# The most intermediate certificates followed from the code-signing certificate to its root.
max_intermediates=8

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

# require_file VARIABLE: the file that VARIABLE names exists and can be read.
require_file() {
    local file=${!1}
    [ -e "$file" ] || fail "$file not found (set by $1)"
    [ -f "$file" ] && [ -r "$file" ] || fail "$file cannot be read (set by $1)"
}

# pkcs12_certificates OPTION: the certificates of the PKCS#12 file that OPTION selects
# (-clcerts: the code-signing certificate, -cacerts: the others), as PEM.
pkcs12_certificates() {
    openssl pkcs12 -in "$ORVELLE_SIGN_PKCS12" -passin "file:"<(password) -nokeys "$1"
}

# utc_time SECONDS: a Unix time as readable UTC.
utc_time() {
    date -u -d "@$1" '+%Y-%m-%d %H:%M:%S UTC'
}

# certificate_name PEM subject|issuer: the certificate's subject or issuer name, one line.
certificate_name() {
    openssl x509 -noout "-$2" -nameopt RFC2253 -in "$1" | cut -d= -f2-
}

# require_valid_at_signing_time PEM: refuses a certificate whose validity does not cover the
# signing time; the message says whether it has expired or is not valid yet.
require_valid_at_signing_time() {
    local start end
    { read -r start; read -r end; } < <(openssl x509 -noout -startdate -enddate -in "$1" |
        cut -d= -f2)
    start=$(date -u -d "$start" +%s)
    end=$(date -u -d "$end" +%s)
    [ "$signing_time" -ge "$start" ] ||
        fail "the certificate $(certificate_name "$1" subject) is not yet valid at the" \
            "signing time $signing_time_text: it is valid from $(utc_time "$start")"
    [ "$signing_time" -le "$end" ] ||
        fail "the certificate $(certificate_name "$1" subject) has expired at the signing" \
            "time $signing_time_text: it was valid until $(utc_time "$end")"
}

# add_to_pool PEM SOURCE: adds a certificate taken from the file SOURCE, and the hashes of
# its names, to the certificates the chain is built from.
add_to_pool() {
    local subject issuer
    read -r subject issuer < <(certificate_hashes "$1") ||
        fail "$2 holds a certificate that cannot be read"
    pool+=("$1")
    pool_subject+=("$subject")
    pool_issuer+=("$issuer")
}

for input in ORVELLE_SIGN_PKCS12 ORVELLE_SIGN_CA_FILE ORVELLE_SIGN_URL; do
    [ -n "${!input:-}" ] || fail "set $input (see README)"
done
[ -n "${ORVELLE_SIGN_PASSWORD_FILE:-}" ] || [ -n "${ORVELLE_SIGN_PASSWORD+set}" ] ||
    fail "set ORVELLE_SIGN_PASSWORD_FILE (or ORVELLE_SIGN_PASSWORD)"
require_file ORVELLE_SIGN_PKCS12
require_file ORVELLE_SIGN_CA_FILE
[ -z "${ORVELLE_SIGN_PASSWORD_FILE:-}" ] || require_file ORVELLE_SIGN_PASSWORD_FILE
[ -f "$exe" ] || fail "$exe not found; run ./build.sh first"

timeout_seconds=${ORVELLE_TIMESTAMP_TIMEOUT:-$default_timeout}
[[ $timeout_seconds =~ ^[1-9][0-9]*$ ]] ||
    fail "ORVELLE_TIMESTAMP_TIMEOUT must be a whole number of seconds, not '$timeout_seconds'"
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] ||
        fail "SOURCE_DATE_EPOCH must be Unix seconds, not '$SOURCE_DATE_EPOCH'"
    signing_time=$SOURCE_DATE_EPOCH
    signing_time_text="$(utc_time "$signing_time") (SOURCE_DATE_EPOCH)"
else
    signing_time=$(date +%s)
    signing_time_text="$(utc_time "$signing_time") (now)"
fi

"$here/tools/apt-install-missing.sh" release.sh osslsigncode openssl

# The work folder lives next to the build, so that the signed file replaces it by a rename.
# It goes whatever ends the release; a signer still running is stopped first, so that
# nothing writes into the folder once it is gone.
work=
signer=
clean_up() {
    if [ -n "$signer" ]; then
        kill "$signer" 2>/dev/null || true
        wait "$signer" 2>/dev/null || true
    fi
    [ -z "$work" ] || rm -rf "$work"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
work=$(mktemp -d "$(dirname "$exe")/.release.XXXXXX")
signed="$work/$(basename "$exe")"

if osslsigncode extract-signature -in "$exe" -out "$work/existing.sig" >/dev/null 2>&1; then
    fail "$exe is already signed; run ./build.sh for a fresh unsigned build"
fi

pkcs12_certificates -clcerts > "$work/leaf-bundle.pem" 2>/dev/null ||
    fail "cannot read $ORVELLE_SIGN_PKCS12 (wrong password?)"
split_certificates "$work/leaf-bundle.pem" "$work/leaf" >/dev/null
leaf=$work/leaf-01.pem
[ -f "$leaf" ] || fail "$ORVELLE_SIGN_PKCS12 holds no certificate for its key"

# Windows only accepts Authenticode signatures from a certificate made for code signing.
usage=$(openssl x509 -noout -ext extendedKeyUsage -in "$leaf" 2>/dev/null || true)
grep -qE "^ *Code Signing(,|$)|, Code Signing(,|$)" <<<"$usage" ||
    fail "the certificate in $ORVELLE_SIGN_PKCS12 lacks the code-signing extended key usage"

# The chain: intermediates may come from the PKCS#12 file or the CA file, the root only from
# the CA file (the check below verifies against its roots alone).
pkcs12_certificates -cacerts > "$work/pkcs12-others.pem" 2>/dev/null ||
    fail "cannot read the other certificates of $ORVELLE_SIGN_PKCS12"
pool=()
pool_subject=()
pool_issuer=()
while read -r certificate; do
    is_self_signed "$certificate" || add_to_pool "$certificate" "$ORVELLE_SIGN_PKCS12"
done < <(split_certificates "$work/pkcs12-others.pem" "$work/pkcs12")
while read -r certificate; do
    add_to_pool "$certificate" "$ORVELLE_SIGN_CA_FILE"
done < <(split_certificates "$ORVELLE_SIGN_CA_FILE" "$work/ca")

# From the code-signing certificate up, each certificate's issuer is the first one of the
# pool with that name; all but the root go into the signature, in that order.
cat "$leaf" > "$work/chain.pem"
current=$leaf
read -r subject issuer < <(certificate_hashes "$leaf") ||
    fail "cannot read the certificate in $ORVELLE_SIGN_PKCS12"
for ((step = 0; ; step++)); do
    require_valid_at_signing_time "$current"
    [ "$subject" != "$issuer" ] || break
    [ "$step" -le "$max_intermediates" ] ||
        fail "no root reached after $max_intermediates intermediate certificates"
    found=
    for index in "${!pool[@]}"; do
        if [ "${pool_subject[index]}" = "$issuer" ]; then
            found=$index
            break
        fi
    done
    [ -n "$found" ] ||
        fail "neither $ORVELLE_SIGN_CA_FILE nor $ORVELLE_SIGN_PKCS12 holds the certificate" \
            "$(certificate_name "$current" issuer) that issued $(certificate_name "$current" subject)"
    current=${pool[found]}
    subject=${pool_subject[found]}
    issuer=${pool_issuer[found]}
    [ "$subject" = "$issuer" ] || cat "$current" >> "$work/chain.pem"
done

# The key, encrypted again with the same password, inside the work folder (mode 0700).
openssl pkcs12 -in "$ORVELLE_SIGN_PKCS12" -passin "file:"<(password) -nocerts \
    -passout "file:"<(password) -out "$work/key.pem" 2>/dev/null ||
    fail "cannot read the key in $ORVELLE_SIGN_PKCS12"

options=(-certs "$work/chain.pem" -key "$work/key.pem" -h sha256 -n "$product"
    -i "$ORVELLE_SIGN_URL" -time "$signing_time")
[ -z "${ORVELLE_TIMESTAMP_URL:-}" ] || options+=(-ts "$ORVELLE_TIMESTAMP_URL")
# osslsigncode has no time limit of its own. It runs in the background so that INT and TERM
# are handled at once (a shell runs its traps only when a foreground command ends).
timeout -k 5 "$timeout_seconds" osslsigncode sign "${options[@]}" -readpass <(password) \
    -in "$exe" -out "$signed" >/dev/null &
signer=$!
status=0
wait "$signer" || status=$?
signer=
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    if [ -n "${ORVELLE_TIMESTAMP_URL:-}" ]; then
        fail "the time-stamp server $ORVELLE_TIMESTAMP_URL did not answer within" \
            "$timeout_seconds seconds (ORVELLE_TIMESTAMP_TIMEOUT); $exe is left unsigned"
    fi
    fail "signing did not finish within $timeout_seconds seconds" \
        "(ORVELLE_TIMESTAMP_TIMEOUT); $exe is left unsigned"
fi
[ "$status" -eq 0 ] || fail "osslsigncode could not sign $exe"

"$here/tools/check-signed-release.sh" "$signed" "$exe" "$ORVELLE_SIGN_CA_FILE"

unsigned_hash=$(sha256sum "$exe" | cut -d' ' -f1)
signed_hash=$(sha256sum "$signed" | cut -d' ' -f1)
chmod --reference="$exe" "$signed"
printf '%s  %s\n' "$signed_hash" "$(basename "$exe")" > "$work/SHA256SUMS"
# The signed file and its SHA256SUMS replace the old pair together: INT and TERM are
# ignored for the two renames.
trap '' INT TERM
mv "$signed" "$exe"
mv "$work/SHA256SUMS" "$(dirname "$exe")/SHA256SUMS"

echo "Signed $exe"
echo "SHA-256 unsigned $unsigned_hash"
echo "SHA-256 signed   $signed_hash"
