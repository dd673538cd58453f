#!/usr/bin/env bash
# Checks a signed release against the unsigned build it was made from:
#   1. its Authenticode signature verifies against the given CA certificates;
#   2. it is the unsigned build plus a signature and nothing else.
# For 2, osslsigncode remove-signature refuses a file whose certificate table is not at its
# end, cuts the table off, clears the security directory entry and recomputes the PE checksum.
# The build already carries a correct checksum and a size that is a multiple of 8 (no padding
# before the table), so the stripped file must equal the unsigned build byte for byte.
# Usage: tools/check-signed-release.sh SIGNED UNSIGNED CA_FILE
set -euo pipefail

signed=$1
unsigned=$2
ca_file=$3

fail() {
    echo "check-signed-release: $*" >&2
    exit 1
}

if ! report=$(osslsigncode verify -CAfile "$ca_file" -in "$signed" 2>&1); then
    echo "$report" >&2
    fail "the signature of $signed does not verify against $ca_file"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null 2>&1 ||
    fail "cannot remove the signature of $signed"
cmp -s "$work/stripped.exe" "$unsigned" ||
    fail "$signed differs from $unsigned beyond its signature"

echo "Signature verified; $signed is $unsigned plus its signature"
