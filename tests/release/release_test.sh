#!/bin/bash
# Releases with a throwaway code-signing authority: hosts players cannot reach are refused before
# anything is built, a production build is signed, and a trial build for localhost is signed, verifies,
# stops verifying after one changed byte and is the unsigned build plus its signature. The trial exe
# stays in OUT_DIR for the tests that run a real update session with the exe a team would ship.
# Usage: release_test.sh RELEASE_SH OUT_DIR
set -eu
release=$1 out=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM
cd "$tmp"
fail() { echo "FAIL: $*" >&2; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -subj /CN=OrvaneTestCA -days 2 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout cs.key -out cs.csr -subj /CN=OrvaneTestSigner 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n' >cs.ext
openssl x509 -req -in cs.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile cs.ext -out cs.crt 2>/dev/null
printf 'a test password\n' >pw
openssl pkcs12 -export -inkey cs.key -in cs.crt -passout file:pw -out cs.p12
signing="--pkcs12 cs.p12 --password-file pw --ca-file ca.crt"

while read -r verdict host game; do
  rm -rf b o
  if "$release" --update-host "$host" --game-server "$game" $signing --build-dir b --out o >log 2>&1; then
    [ "$verdict" = signed ] && [ -s o/OrvaneLauncher.exe ] || fail "$host / $game: expected $verdict, got signed"
  else
    [ "$verdict" = refused ] || fail "$host / $game: expected $verdict: $(tail -n 5 log)"
    grep -qi "'\($host\|$game\)'" log && [ ! -e b ] || fail "$host / $game: refused late or for another reason: $(cat log)"
  fi
done <<'EOF'
signed  updates.orvane.net      93.184.215.14
refused localhost               93.184.215.14
refused LocalHost               93.184.215.14
refused 127.1                   93.184.215.14
refused updates.orvane.net      127.0.0.1
refused 10.20.30.40             93.184.215.14
refused updates.orvane.net      172.16.5.5
refused updates.orvane.net      192.168.1.20
refused updates.orvane.example  93.184.215.14
refused updates.orvane.net      192.0.2.10
EOF

rm -rf b "$out"
"$release" --trial --update-host localhost --game-server 127.0.0.1 $signing --build-dir b --out "$out" >log 2>&1 ||
  fail "trial build: $(tail -n 5 log)"
exe=$out/OrvaneLauncher.exe
osslsigncode verify -CAfile ca.crt -in "$exe" >log 2>&1 && grep -q 'digest algorithm *: *SHA256' log ||
  fail "no SHA-256 signature that verifies: $(cat log)"
(cd "$out" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not match"

cp "$exe" changed.exe
python3 -c 'import sys; f = open(sys.argv[1], "r+b"); n = f.seek(0, 2) // 2; f.seek(n); b = f.read(1)[0]
f.seek(n); f.write(bytes([b ^ 1]))' changed.exe
osslsigncode verify -CAfile ca.crt -in changed.exe >/dev/null 2>&1 && fail "one changed byte still verifies"

# Signing may only recompute the header checksum and pad the file to 8 bytes for the signature.
osslsigncode remove-signature -in "$exe" -out stripped.exe >/dev/null
size=$(stat -c %s b/OrvaneLauncher.exe)
checksum_at=$(($(od -An -tu4 -j60 -N4 b/OrvaneLauncher.exe) + 88))
cmp -l b/OrvaneLauncher.exe stripped.exe 2>/dev/null | awk -v c=$checksum_at '$1 <= c || $1 > c + 4' | grep -q . &&
  fail "the signed exe without its signature differs from the unsigned build"
[ -z "$(tail -c +$((size + 1)) stripped.exe | tr -d '\0')" ] || fail "signing appended more than padding"
echo "signed trial launcher: $exe"
