#!/usr/bin/env bash
# check-signing.sh WORK OBJDUMP: packs a kit of the two builds signed with a throw-away certificate
# (made here by openssl), into WORK, not dist/; then osslsigncode accepts every shipped binary
# against that certificate, the hardening check passes with the signatures, and a binary with one
# changed byte fails verification.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1 objdump=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=Varko throw-away test signer" >openssl.log 2>&1 || { cat openssl.log; exit 1; }
password=test-$$-$RANDOM
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.p12 -passout "pass:$password" >>openssl.log 2>&1 ||
  { cat openssl.log; exit 1; }

VARKO_SIGN_PKCS12="$work/signer.p12" VARKO_SIGN_PASSWORD="$password" VARKO_KIT_OUT="$work/out" \
  "$root/tools/kit/pack.sh" 2>pack.err >pack.out || { cat pack.err; exit 1; }
cat pack.err
count=$(grep -vc '^#' "$root/tools/kit/shipped.txt")
grep -q "^pack: signed $count binaries" pack.err || { echo "pack.sh did not say it signed the kit"; exit 1; }
archive=$(cat pack.out)
mkdir unpacked
(cd out && sha256sum -c "$(basename "$archive").sha256" >/dev/null) || { echo "the archive's checksum does not match"; exit 1; }
(cd unpacked && cmake -E tar xf "$archive")
kit=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d)
# The checksums were taken after signing.
(cd "$kit" && sha256sum -c --quiet SHA256SUMS) || { echo "SHA256SUMS does not match the signed files"; exit 1; }

status=0
for binary in $(grep -v '^#' "$(dirname "$0")/../../tools/kit/shipped.txt"); do
  if osslsigncode verify -CAfile "$work/cert.pem" -in "$kit/$binary" >verify.log 2>&1 &&
     grep -q "Signature verification: ok" verify.log; then
    echo "verified: $binary"
  else
    cat verify.log; echo "NOT verified: $binary"; status=1
  fi
done

for arch in x64 x86; do
  /usr/bin/python3 "$root/tools/checks/check-hardening.py" "$kit" "$objdump" "$arch" --signed --ca "$work/cert.pem" ||
    status=1
done

# One changed byte in the code: the signature no longer matches the file.
cp "$kit/x64/bin/LinkWinUsb.dll" tampered.dll
offset=$(( $(stat -c %s tampered.dll) / 2 ))
byte=$(od -An -tu1 -j "$offset" -N1 tampered.dll | tr -d ' ')
printf "$(printf '\\%03o' $(( (byte + 1) % 256 )))" | dd of=tampered.dll bs=1 seek="$offset" conv=notrunc status=none
if osslsigncode verify -CAfile "$work/cert.pem" -in tampered.dll >tampered.log 2>&1 &&
   grep -q "Signature verification: ok" tampered.log; then
  echo "a binary with a changed byte at $offset still verifies"; status=1
else
  echo "tampered (byte at $offset changed): verification fails: $(grep -m1 -i 'mismatch\|failed' tampered.log || true)"
fi
exit $status
