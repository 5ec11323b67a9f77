#!/bin/sh
# Throw-away certificates for the TLS tests, made with the openssl command:
#   ca.pem            the test CA (trusted by the tests)
#   server.pem/.key   localhost and 127.0.0.1, signed by the CA
#   chain.pem         server.pem followed by ca.pem
#   other.pem/.key    other.example only, signed by the CA
#   expired.pem/.key  localhost and 127.0.0.1, signed by the CA, expired in 2020
#   rogue.pem/.key    localhost and 127.0.0.1, signed by a CA nobody trusts
# Usage: make_pki.sh DIR   (used by the TLS tests and scripts/demo --tls)
set -eu
dir="$1"
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {   # name, common name
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
ca ca "ZELT test CA"
ca rogue-ca "Rogue test CA"

cat > ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = index.txt
new_certs_dir = issued
serial = serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CNF
: > index.txt
mkdir -p issued
echo 1000 > serial

leaf() {   # name, CA, SAN, [start end]
  key "$1.key"
  cn="$(echo "$3" | sed 's/^[A-Z]*://; s/,.*//')"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$cn" -addext "subjectAltName=$3" 2>/dev/null
  if [ $# -ge 5 ]; then
    openssl ca -config ca.cnf -batch -notext -cert "$2.pem" -keyfile "$2.key" -in "$1.csr" -out "$1.pem" \
      -startdate "$4" -enddate "$5" 2>/dev/null
  else
    openssl ca -config ca.cnf -batch -notext -cert "$2.pem" -keyfile "$2.key" -in "$1.csr" -out "$1.pem" \
      -days 30 2>/dev/null
  fi
  rm -f "$1.csr"
}
leaf server ca "DNS:localhost,IP:127.0.0.1"
leaf other ca "DNS:other.example"
leaf expired ca "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20200201000000Z
leaf rogue rogue-ca "DNS:localhost,IP:127.0.0.1"
cat server.pem ca.pem > chain.pem
