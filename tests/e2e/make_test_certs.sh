#!/usr/bin/env bash
# Makes the certificates the TLS tests use, in DIR (created if missing):
#   ca.crt             the test CA the proxy and the clients are told to trust
#   a.crt/a.key        server certificate "quillmar-test-a" signed by that CA
#   b.crt/b.key        a second one, "quillmar-test-b" (a reload's new certificate)
#   untrusted.crt/.key signed by another CA nobody trusts
#   a-encrypted.key    a.key under a passphrase (which the proxy refuses)
# Every server certificate names localhost and 127.0.0.1. EC P-256 keys,
# valid two days: made fresh for every run, never kept.
#   make_test_certs.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

ca() {  # ca NAME SUBJECT
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj "/CN=$2" -keyout "$1.key" -out "$1.crt" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}

leaf() {  # leaf NAME SIGNING_CA SERIAL
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -subj "/CN=quillmar-test-$1" -keyout "$1.key" -out "$1.csr" 2>/dev/null
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost,IP:127.0.0.1" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -set_serial "$3" -days 2 \
    -extfile "$1.ext" -out "$1.crt" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

ca ca "quillmar test CA"
ca other-ca "quillmar untrusted CA"
leaf a ca 1001
leaf b ca 1002
leaf untrusted other-ca 1003
openssl pkey -in a.key -aes256 -passout pass:quillmar -out a-encrypted.key 2>/dev/null
# A bundle as some systems ship them: the test CA in the "TRUSTED
# CERTIFICATE" form, after another CA in the plain form.
openssl x509 -in ca.crt -addtrust serverAuth -out ca-trusted.crt
cat other-ca.crt ca-trusted.crt > bundle.crt
