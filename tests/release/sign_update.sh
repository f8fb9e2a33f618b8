#!/usr/bin/env bash
# scripts/sign-update against the release file format of docs/releases.md, with real keys and
# files in a temporary folder. What the format fixes (field order, key ids, the successor's
# point, what the signature covers) is worked out again here with Python's standard library and
# openssl's raw digest verification, not with the script's own steps.
#
#   sign_update.sh --source-dir DIR [--python PATH]
set -euo pipefail

source_dir="" python=python3
while [ "$#" -gt 0 ]; do
  [ "$#" -ge 2 ] || { echo "usage: $0 --source-dir DIR [--python PATH]" >&2; exit 2; }
  case "$1" in
    --source-dir) source_dir="$2" ;;
    --python) python="$2" ;;
    *) echo "usage: $0 --source-dir DIR [--python PATH]" >&2; exit 2 ;;
  esac
  shift 2
done
# shellcheck source=scripts/lib.sh
source "$source_dir/scripts/lib.sh" || exit 2
say_as sign_update
readonly tool="$source_dir/scripts/sign-update"
export LC_ALL=C

work=""
cleanup() { [ -z "$work" ] || rm -rf "$work"; }
on_exit cleanup
work="$(mktemp -d "${TMPDIR:-/tmp}/refitor-sign-update.XXXXXX")"
cd "$work"

passed=0 failed=0

# run ARGS...: sign-update's exit status in status, its output in out and err.
run() {
  status=0
  "$tool" "$@" >"$work/out" 2>"$work/err" || status=$?
  out="$(cat "$work/out")" err="$(cat "$work/err")"
}
# refused WHAT TEXT ARGS...: sign-update exits 1 and says TEXT on the standard error.
refused() {
  local what="$1" text="$2"
  shift 2
  run "$@"
  if [ "$status" = 1 ] && [[ "$err" == *"$text"* ]]; then
    pass
  else
    fail "$what: wanted exit 1 and '$text', got $status: $err"
  fi
}
succeeds() { # WHAT ARGS...
  local what="$1"
  shift
  run "$@"
  if [ "$status" = 0 ]; then pass; else fail "$what: exit $status: $err"; fi
}

# The format's own definitions, in Python.
point_of() { # PEM: the 65-byte point, in hex, from the base64 of the SubjectPublicKeyInfo
  "$python" -c '
import base64, sys
der = base64.b64decode("".join(l for l in open(sys.argv[1]) if not l.startswith("-----")))
print(der[-65:].hex())' "$1"
}
id_of() { # PEM
  "$python" -c 'import hashlib, sys; print(hashlib.sha256(bytes.fromhex(sys.argv[1])).hexdigest()[:16])' \
    "$(point_of "$1")"
}
base64_point_of() { # PEM
  "$python" -c 'import base64, sys; print(base64.b64encode(bytes.fromhex(sys.argv[1])).decode())' \
    "$(point_of "$1")"
}
field() { sed -n "s/^$2 //p" "$1"; } # RELEASE NAME
contains() { [[ "$1" == *"$2"* ]]; } # TEXT PART
plain_lines() { # FILE
  [ "$(tail -c 1 "$1" | od -An -tx1 | tr -d ' ')" = 0a ] && ! grep -q $'\r' "$1" && ! grep -q '^$' "$1"
}
names() { cut -d' ' -f1 "$1" | tr '\n' ' '; } # RELEASE
# signature_covers_body RELEASE PUB: the signature line's DER signature verifies, under PUB, as an
# ECDSA signature of the SHA-256 of every byte before that line.
signature_covers_body() {
  "$python" - "$1" "$work/digest" "$work/sig.der" <<'PY'
import base64, hashlib, sys
data = open(sys.argv[1], "rb").read()
cut = data.rindex(b"\nsignature ") + 1
open(sys.argv[2], "wb").write(hashlib.sha256(data[:cut]).digest())
open(sys.argv[3], "wb").write(base64.b64decode(data[cut + len(b"signature "):].rstrip(b"\n"), validate=True))
PY
  openssl pkeyutl -verify -pubin -inkey "$2" -in "$work/digest" -sigfile "$work/sig.der" >/dev/null
}

# --- keygen -------------------------------------------------------------------------------------

succeeds "keygen makes a pair" keygen keys
check "the private key is mode 0600 (got $(stat -c %a keys/release-key.pem))" \
  test "$(stat -c %a keys/release-key.pem)" = 600
check "the private key is on P-256" \
  bash -c "openssl pkey -in keys/release-key.pem -noout -text | grep -q 'NIST CURVE: P-256'"
check "the public key is the private key's" \
  test "$(openssl pkey -in keys/release-key.pem -pubout)" = "$(cat keys/release-key.pub.pem)"
cp keys/release-key.pem before.pem
refused "keygen into a folder with a key" "never overwritten" keygen keys
check "a refused keygen leaves the key as it was" cmp -s before.pem keys/release-key.pem
"$tool" keygen other >/dev/null
"$tool" keygen next >/dev/null
"$tool" keygen old >/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out p384.pem 2>/dev/null
openssl pkey -in p384.pem -pubout -out p384.pub.pem
key=keys/release-key.pem pub=keys/release-key.pub.pem

# --- sign: the file it writes -------------------------------------------------------------------

head -c 3000 /dev/urandom >Korvane.exe
succeeds "signing with every field" sign --key "$key" --serial 42 --expires 2027-06-30T00:00:00Z \
  --successor next/release-key.pub.pem --retire old/release-key.pub.pem Korvane.exe
release=Korvane.exe.release
readonly all_fields="refitor-release product size sha256 serial expires successor retire key signature "
check "the fields come in the order of the format's example (got $(names "$release"))" \
  test "$(names "$release")" = "$all_fields"
check "the first line is the format and its version" test "$(head -n 1 "$release")" = "refitor-release 1"
check "the product is the build's" test "$(field "$release" product)" = Korvane
check "the size is the file's" test "$(field "$release" size)" = 3000
check "the sha256 is the file's, in lower case" \
  test "$(field "$release" sha256)" = "$(sha256sum Korvane.exe | cut -d' ' -f1)"
check "the serial and expiry are the ones asked for" \
  test "$(field "$release" serial) $(field "$release" expires)" = "42 2027-06-30T00:00:00Z"
check "the key is the base64 of the signer's 65-byte point" \
  test "$(field "$release" key)" = "$(base64_point_of "$pub")"
check "the successor is the base64 of the new key's 65-byte point" \
  test "$(field "$release" successor)" = "$(base64_point_of next/release-key.pub.pem)"
check "the retired key is named by its id" test "$(field "$release" retire)" = "$(id_of old/release-key.pub.pem)"
check "the last line is the signature, one line of base64" \
  grep -qE '^signature [A-Za-z0-9+/]+={0,2}$' <(tail -n 1 "$release")
check "every line ends with a line feed, none with a carriage return, none is blank" \
  plain_lines "$release"
check "the signature covers every byte before its line" signature_covers_body "$release" "$pub"
# The id: the first 16 hexadecimal digits of the SHA-256 of the point.
check "sign says what it signed, naming its key by id" \
  contains "$out" "release 42 of Korvane, signed with key $(id_of "$pub")"
succeeds "verify takes what sign wrote" verify --key "$pub" Korvane.exe

# A PEM that holds the point compressed is the same key.
openssl pkey -pubin -in next/release-key.pub.pem -ec_conv_form compressed -pubout -out compressed.pub.pem
succeeds "signing with a compressed successor" sign --key "$key" --serial 42 \
  --successor compressed.pub.pem Korvane.exe
check "a compressed successor is written as its uncompressed point" \
  test "$(field "$release" successor)" = "$(base64_point_of next/release-key.pub.pem)"

succeeds "signing with the required fields only" sign --key "$key" --serial 1 Korvane.exe
check "optional fields are left out (got $(names "$release"))" \
  test "$(names "$release")" = "refitor-release product size sha256 serial key signature "
succeeds "verify takes a release without optional fields" verify --key "$pub" Korvane.exe

succeeds "signing an expired release" sign --key "$key" --serial 7 --expires 2001-01-01T00:00:00Z Korvane.exe
check "an expired release is written" test "$(field "$release" expires)" = 2001-01-01T00:00:00Z
succeeds "verify takes an expired release" verify --key "$pub" Korvane.exe
check "verify says it has expired" contains "$out" "expired"

succeeds "signing for another product" sign --key "$key" --serial 3 --product Other Korvane.exe
check "--product names the product" test "$(field "$release" product)" = Other
refused "verify of another product's release" "not of Korvane" verify --key "$pub" Korvane.exe
succeeds "verify with that product" verify --key "$pub" --product Other Korvane.exe

# --- sign: what it refuses ----------------------------------------------------------------------

"$tool" sign --key "$key" --serial 5 Korvane.exe >/dev/null
cp "$release" good.release
for serial in 0 -1 1.5 042 '' x 9223372036854775808; do
  refused "serial '$serial'" "serial must be" sign --key "$key" --serial "$serial" Korvane.exe
done
succeeds "the largest serial" sign --key "$key" --serial 9223372036854775807 Korvane.exe
cp good.release "$release"
for expires in 2027-06-30 2027-13-01T00:00:00Z 2027-02-29T00:00:00Z 2027-06-30T24:00:00Z \
  2027-06-30T00:00:00+01:00 2027-06-30t00:00:00z; do
  refused "expiry '$expires'" "moment in UTC" sign --key "$key" --serial 6 --expires "$expires" Korvane.exe
done
refused "retiring the signer" "never retires its own signer" \
  sign --key "$key" --serial 6 --retire "$pub" Korvane.exe
refused "retiring the successor" "never retires its own successor" \
  sign --key "$key" --serial 6 --successor next/release-key.pub.pem --retire compressed.pub.pem Korvane.exe
refused "a P-384 signing key" "not a P-256 key" sign --key p384.pem --serial 6 Korvane.exe
refused "a P-384 successor" "not a P-256 key" sign --key "$key" --serial 6 --successor p384.pub.pem Korvane.exe
refused "a public key to sign with" "not a private key" sign --key "$pub" --serial 6 Korvane.exe
: >empty.exe
refused "an empty file" "a release is 1 to" sign --key "$key" --serial 6 empty.exe
check "a refused signing leaves the release file as it was" cmp -s good.release "$release"
check "a refused signing leaves no partial file" \
  test "$(find . -maxdepth 1 -name 'Korvane.exe.release?*' | wc -l)" = 0
run sign --serial 6 Korvane.exe
check "a missing --key is wrong usage (exit 2, got $status)" test "$status" = 2

# --- verify: what it refuses --------------------------------------------------------------------

# tampered WHAT TEXT COMMAND...: COMMAND spoils a copy of the good release or file; verify refuses.
tampered() {
  local what="$1" text="$2"
  shift 2
  cp good.release "$release"
  cp Korvane.exe Korvane.exe.kept
  "$@" >/dev/null
  refused "$what" "$text" verify --key "$pub" Korvane.exe
  mv Korvane.exe.kept Korvane.exe
}
flip_byte() { # FILE OFFSET: the byte at OFFSET with its lowest bit flipped
  "$python" -c '
import sys
path, at = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, "rb").read())
data[at] ^= 1
open(path, "wb").write(data)' "$1" "$2"
}
signature_offset() { grep -bo '^signature ' "$release" | cut -d: -f1; }

tampered "a flipped byte in the file" "does not match its signed hash" flip_byte Korvane.exe 1500
tampered "a byte added to the file" "has 3001 bytes" bash -c 'printf x >>Korvane.exe'
tampered "a flipped byte in a signed field" "signature" flip_byte "$release" 30
tampered "a flipped byte in the signature" "signature" \
  flip_byte "$release" "$(($(signature_offset) + 20))"
tampered "a signature from another key" "signed by key" \
  "$tool" sign --key other/release-key.pem --serial 5 Korvane.exe
tampered "a higher serial written in by hand" "signature" sed -i 's/^serial 5$/serial 6/' "$release"
tampered "a field twice" "comes twice" sed -i 's/^\(serial .*\)$/\1\n\1/' "$release"
tampered "an unknown field" "not a field" sed -i 's/^key /note x\nkey /' "$release"
tampered "another version" "version '2'" sed -i '1s/ 1$/ 2/' "$release"
tampered "carriage returns" "carriage return" sed -i 's/$/\r/' "$release"
tampered "a blank line" "blank" sed -i 's/^key /\nkey /' "$release"
tampered "no line feed at the end" "line feed" truncate -s -1 "$release"
tampered "the signature not last" "last line" sed -i '$s/^signature /signature2 /' "$release"
tampered "a release file over 64 KiB" "more than 65536" \
  bash -c "head -c 70000 /dev/zero | tr '\\0' a | sed 's/^/product /' >>'$release'"
tampered "a signer named by its id" "the key is not the base64 of a P-256 point" \
  sed -i "s|^key .*|key $(id_of "$pub")|" "$release"
tampered "a successor that is no point" "successor" \
  sed -i "s|^key |successor $(printf '\004%064d' 0 | base64 -w 0)\nkey |" "$release"
tampered "a retire of its own signer" "retires its own signer" \
  sed -i "s|^key |retire $(id_of "$pub")\nkey |" "$release"
tampered "a signature that is not base64" "not base64" sed -i '$s/$/!/' "$release"
cp good.release "$release"
succeeds "the good release still verifies" verify --key "$pub" Korvane.exe

echo "sign_update: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
