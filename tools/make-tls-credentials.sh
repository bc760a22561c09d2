#!/bin/sh
# Makes the service's TLS pair: a private root, a server certificate issued by
# it for the loopback names, and the server key as an encrypted PKCS#8 block.
# The root's private key is destroyed at the end so that nobody can issue other
# certificates under a root that users have been asked to trust.
#
# Output:
#   certs/vaultline-root.pem       the root certificate users import
#   src/ServerCredentials.inc      certificate (one Base64 line) and PEM key,
#                                  compiled into the service
# Run from the repository root:  sh tools/make-tls-credentials.sh
set -eu

PASS=7ac3d94e
DAYS=36525                      # 100 years
ORG="/C=CN/ST=Beijing/L=Beijing/O=Vaultline"

out_root=certs/vaultline-root.pem
out_inc=src/ServerCredentials.inc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 077

cat > "$work/root.cnf" <<CNF
[req]
distinguished_name = dn
x509_extensions = v3_ca
prompt = no
[dn]
[v3_ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
CNF

cat > "$work/server.cnf" <<CNF
[ext]
authorityKeyIdentifier = keyid
basicConstraints = CA:false
keyUsage = digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment
subjectAltName = @alt
subjectKeyIdentifier = hash
[alt]
DNS.1 = localhost
DNS.2 = *
DNS.3 = 127.0.0.1
DNS.4 = ::1
IP.1 = 127.0.0.1
IP.2 = ::1
CNF

openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/root.key"
openssl req -new -x509 -config "$work/root.cnf" -key "$work/root.key" -sha256 \
    -days "$DAYS" -subj "$ORG/OU=Vaultline Local Root/CN=Vaultline Local Root CA" \
    -set_serial "0x$(openssl rand -hex 19)" -out "$work/root.pem"

openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/server.key"
openssl req -new -key "$work/server.key" -subj "$ORG/OU=Local Service/CN=localhost" \
    -out "$work/server.csr"
# 20-byte serial with the high bit clear so DER keeps it at 20 bytes.
serial="0x$(printf '%02x' $(( $(od -An -N1 -tu1 /dev/urandom) & 0x7f | 0x10 )))$(openssl rand -hex 19)"
openssl x509 -req -in "$work/server.csr" -CA "$work/root.pem" -CAkey "$work/root.key" \
    -set_serial "$serial" -days "$DAYS" -sha256 -extfile "$work/server.cnf" -extensions ext \
    -out "$work/server.pem"
openssl verify -CAfile "$work/root.pem" "$work/server.pem" >/dev/null

openssl pkcs8 -topk8 -in "$work/server.key" -v2 aes-256-cbc -v2prf hmacWithSHA256 \
    -iter 2048 -passout "pass:$PASS" -out "$work/server.p8.pem"

cert_b64=$(openssl x509 -in "$work/server.pem" -outform DER | openssl base64 -A)

cp "$work/root.pem" "$out_root"
chmod 644 "$out_root"
{
    echo "// Made by tools/make-tls-credentials.sh; run it again to renew the pair."
    echo "// Server certificate: DER as one Base64 line."
    echo "static const char kServerCertBase64[] ="
    echo "    \"$cert_b64\";"
    echo "// Server key: PKCS#8, PBES2 (PBKDF2-HMAC-SHA256, 2048 iterations, AES-256-CBC)."
    echo "static const char kServerKeyPem[] ="
    sed 's/.*/    "&\\n"/' "$work/server.p8.pem"
    echo "    ;"
} > "$out_inc"
chmod 644 "$out_inc"
# The root's private key goes with $work; overwrite it first.
shred -u "$work/root.key" 2>/dev/null || rm -f "$work/root.key"
echo "wrote $out_root and $out_inc"
