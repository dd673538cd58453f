#!/usr/bin/env bash
# Checks a signed release against the unsigned build it was made from:
#   1. its Authenticode signature verifies against the root certificates of the CA file
#      alone (its self-signed certificates): every intermediate certificate must travel in
#      the signature itself, as a player's PC offline has nothing else to build the chain;
#   2. it is the unsigned build plus a signature and nothing else.
# For 2, osslsigncode remove-signature refuses a file whose certificate table is not at its
# end, cuts the table off, clears the security directory entry and recomputes the PE checksum.
# The build already carries a correct checksum and a size that is a multiple of 8 (no padding
# before the table), so the stripped file must equal the unsigned build byte for byte.
# Usage: tools/check-signed-release.sh SIGNED UNSIGNED CA_FILE
set -euo pipefail
here=$(dirname "$0")
. "$here/certificates.sh"

signed=$1
unsigned=$2
ca_file=$3

fail() {
    echo "check-signed-release: $*" >&2
    exit 1
}

work=
trap '[ -z "$work" ] || rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
work=$(mktemp -d)

[ -f "$ca_file" ] || fail "$ca_file not found"
write_roots "$ca_file" "$work/roots.pem" ||
    fail "$ca_file holds no root (self-signed) certificate to verify against"

if ! report=$(osslsigncode verify -CAfile "$work/roots.pem" -in "$signed" 2>&1); then
    echo "$report" >&2
    # osslsigncode names the reason on a line "Error: ..." (the first one is the signer's).
    reason=$(sed -n 's/^[[:space:]]*Error: //p' <<<"$report" | head -n1)
    fail "the signature of $signed does not verify against the root certificates of" \
        "$ca_file${reason:+: $reason}"
fi

osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null 2>&1 ||
    fail "cannot remove the signature of $signed"
cmp -s "$work/stripped.exe" "$unsigned" ||
    fail "$signed differs from $unsigned beyond its signature"

echo "Signature verified; $signed is $unsigned plus its signature"
