#!/bin/sh
# Makes the certificates of the HTTPS test servers in folder DIR (created when missing):
#   ca.pem          a private test CA (trust anchor for ca_file=)   ca.key its key
#   good.pem/.key   issued by the CA for 127.0.0.1 and localhost, valid for a day
#   wrong.pem/.key  issued by the CA for wrong.example only (a wrong host name on loopback)
#   expired.pem/.key issued by the CA for 127.0.0.1, its validity ended before it began
# None of them is trusted by the system's store.
# Usage: make_test_certs.sh DIR
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
quiet() { "$@" > /dev/null 2>&1; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Quillon Test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign"
issue() {  # name, subjectAltName, days
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$1"
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\n' "$2" > "$1.ext"
  quiet openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$1.pem" \
    -days "$3" -extfile "$1.ext"
  rm -f "$1.csr" "$1.ext"
}
issue good "IP:127.0.0.1,DNS:localhost" 1
issue wrong "DNS:wrong.example" 1
issue expired "IP:127.0.0.1,DNS:localhost" -1
