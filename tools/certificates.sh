# Small helpers for PEM certificate files, sourced by release.sh and
# tools/check-signed-release.sh. Certificates are matched by name: a certificate is
# self-signed (a root) when its subject and issuer are the same name, and one certificate
# issued another when its subject is the other's issuer.

# split_certificates FILE PREFIX: writes each certificate of FILE to its own file
# PREFIX-01.pem, PREFIX-02.pem, ... in the order of FILE and prints their names, one a line.
# Anything outside the BEGIN/END lines (bag attributes, comments) is left out.
split_certificates() {
    awk -v prefix="$2" '
        /^-----BEGIN CERTIFICATE-----/ { file = sprintf("%s-%02d.pem", prefix, ++count); print file }
        file { print > file }
        /^-----END CERTIFICATE-----/ { close(file); file = "" }
    ' "$1"
}

# certificate_hashes PEM: "SUBJECT ISSUER", the canonical hashes of the certificate's subject
# and issuer names (equal for equal names whatever their spelling), on one line; nothing for
# a certificate that cannot be read.
certificate_hashes() {
    local hashes
    hashes=$(openssl x509 -noout -subject_hash -issuer_hash -in "$1") || return 1
    printf '%s\n' "${hashes//$'\n'/ }"
}

# is_self_signed PEM: true when the certificate names itself as its issuer; false when it
# cannot be read.
is_self_signed() {
    local subject issuer
    read -r subject issuer < <(certificate_hashes "$1")
    [ "$subject" = "$issuer" ]
}

# write_roots FILE OUT: writes the self-signed certificates of FILE to OUT (a fresh file);
# false when FILE holds none. Scratch files go next to OUT.
write_roots() {
    local certificate found=1
    : > "$2"
    while read -r certificate; do
        if is_self_signed "$certificate"; then
            cat "$certificate" >> "$2"
            found=0
        fi
        rm -f "$certificate"
    done < <(split_certificates "$1" "$2.part")
    return $found
}
