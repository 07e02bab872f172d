#!/usr/bin/env bash
# check_test_signing.sh TESTSIGN_SCRIPT MEDIUM WORKDIR
# scripts/testsign-driver on the built medium: the copy's amd64\harlen.sys
# carries a signature that verifies against the made certificate and against
# no other, a changed byte breaks it, and every other file is the medium's own.
# The unsigned image verifies against nothing, so the checks can fail.
set -euo pipefail
script=$1 medium=$2 work=$3
fail() { echo "test signing: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
"$script" "$medium" "$work/out"
signed=$work/out/medium/amd64/harlen.sys cert=$work/out/harlen-test.pem
verify() { osslsigncode verify -in "$1" -CAfile "$2" >"$work/verify.log" 2>&1; }

osslsigncode extract-signature -in "$signed" -out "$work/signature.der" >/dev/null || fail "no signature in $signed"
[ -s "$work/signature.der" ] || fail "an empty signature in $signed"
verify "$signed" "$cert" || { cat "$work/verify.log" >&2; fail "the signature does not verify"; }
echo "amd64\\harlen.sys: signed, and it verifies against the made certificate"

! verify "$medium/amd64/harlen.sys" "$cert" || fail "the unsigned image verifies"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Another" -keyout "$work/other.key" \
  -out "$work/other.pem" 2>/dev/null
! verify "$signed" "$work/other.pem" || fail "the signature verifies against another certificate"
cp "$signed" "$work/changed.sys"
python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(0x400); b = f.read(1); f.seek(0x400); f.write(bytes([b[0] ^ 1]))' \
  "$work/changed.sys"  # the first byte of the code
! verify "$work/changed.sys" "$cert" || fail "a changed image still verifies"
echo "refused: the unsigned image, another certificate, a changed byte"

while IFS= read -r file; do
  [ "$file" = amd64/harlen.sys ] && continue
  cmp -s "$medium/$file" "$work/out/medium/$file" || fail "$file differs from the medium's"
done < <(cd "$medium" && find . -type f -printf '%P\n')
[ "$(cd "$medium" && find . -type f | wc -l)" = "$(cd "$work/out/medium" && find . -type f | wc -l)" ] ||
  fail "the copy does not hold the medium's files"
echo "the other files of the medium are its own"
