#!/bin/sh
# Makes, with the openssl command line, what the cryptography tests (runtime/CryptoTest.cpp)
# verify: two P-256 key pairs, a message and signatures, into FOLDER in the build tree. Nothing of
# it is kept in the source tree; every build makes it afresh.
#
#   make-signatures.sh OPENSSL FOLDER
#
# FOLDER/signer.point, other.point   the public keys as 65-byte uncompressed points
# FOLDER/message.bin, message.sig    a message and the signer's DER signature over it
# FOLDER/short.msg, short.sig        the same, for a signature whose r or s is shorter than 32
#                                    bytes (about one in 128), which CNG's form pads in front
set -eu
openssl="$1"
folder="$2"
mkdir -p "$folder"
cd "$folder"
rm -f ./*.pem ./*.point ./*.bin ./*.sig ./*.msg

for key in signer other; do
  "$openssl" ecparam -name prime256v1 -genkey -noout -out "$key.pem"
  # A P-256 SubjectPublicKeyInfo ends with the point.
  "$openssl" pkey -in "$key.pem" -pubout -outform DER | tail -c 65 >"$key.point"
done
"$openssl" rand -out message.bin 1000
"$openssl" dgst -sha256 -sign signer.pem -out message.sig message.bin

# Whether the DER signature on standard input has an integer of fewer than 32 bytes: a length
# below 32, or 32 with the leading zero that only a 31-byte value with a high first bit needs.
has_short_integer() {
  od -An -v -tu1 | awk '
    { for (i = 1; i <= NF; i++) b[n++] = $i }
    END {
      r = b[3]; s = b[5 + r]
      short = r < 32 || (r == 32 && b[4] == 0) || s < 32 || (s == 32 && b[6 + r] == 0)
      exit short ? 0 : 1
    }'
}
tries=0
while :; do
  tries=$((tries + 1))
  printf 'release %d\n' "$tries" >short.msg
  "$openssl" dgst -sha256 -sign signer.pem -out short.sig short.msg
  if has_short_integer <short.sig; then
    break
  fi
  if [ "$tries" -ge 4000 ]; then
    echo "make-signatures.sh: no signature with a short integer in $tries tries" >&2
    exit 1
  fi
done
rm -f ./*.pem
