#!/bin/bash
# Releases with a throwaway code-signing authority: hosts players cannot reach are refused before
# anything is built, a production build is signed, a time-stamp is kept only from a trusted authority,
# and a trial build for localhost with a manifest key is signed and time-stamped, verifies, stops
# verifying after one changed byte and is the unsigned build plus its signature. The trial exe and the
# manifest key (manifest.key, made by the publisher) stay in OUT_DIR for the tests that run a real
# update session with the exe a team would ship.
# Usage: release_test.sh RELEASE_SH OUT_DIR ORVANE_PUBLISH
set -eu
release=$1 out=$2 publish=$3
tmp=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM
cd "$tmp"
fail() { echo "FAIL: $*" >&2; exit 1; }

# One root over the code signer and a time-stamp authority; the signer as PKCS#12, its password in a file.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -subj /CN=OrvaneTestCA -days 2 2>/dev/null
leaf() { openssl req -CA ca.crt -CAkey ca.key -newkey rsa:2048 -nodes -days 2 -addext basicConstraints=CA:FALSE "$@"; }
leaf -keyout cs.key -out cs.crt -subj /CN=OrvaneTestSigner -addext extendedKeyUsage=codeSigning 2>/dev/null
leaf -keyout tsa.key -out tsa.crt -subj /CN=OrvaneTestTSA -addext extendedKeyUsage=critical,timeStamping 2>/dev/null
leaf -keyout tls.key -out tls.crt -subj /CN=OrvaneTestServer -addext extendedKeyUsage=serverAuth 2>/dev/null
printf 'a test password' >pw
openssl pkcs12 -export -inkey cs.key -in cs.crt -passout file:pw -out cs.p12
openssl pkcs12 -export -inkey tls.key -in tls.crt -passout file:pw -out tls.p12
# Only the first line of the password file counts (a secret store may add one after it).
printf 'a test password\r\nsecond line\n' >pw2
mkdir -p "$out" && rm -f "$out/manifest.key" "$out/manifest.key.pub"
"$publish" keygen --out "$out/manifest.key" >/dev/null 2>&1
signing="--pkcs12 cs.p12 --password-file pw2 --ca-file ca.crt --manifest-key $out/manifest.key.pub"

# The time-stamp authority: the command after the script (openssl ts) answers the two RFC 3161 requests
# over HTTP, then the server ends.
printf 'serial=serial\nsigner_digest=sha256\ndigests=sha256\ndefault_policy=1.2.3.4\n' >tsa.cnf
coproc python3 -uc 'import http.server as h, subprocess as s, sys
class T(h.BaseHTTPRequestHandler):
    def do_POST(self):
        reply = s.run(sys.argv[1:], input=self.rfile.read(int(self.headers["Content-Length"])), capture_output=True)
        self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: application/timestamp-reply\r\n\r\n" + reply.stdout)
server = h.HTTPServer(("127.0.0.1", 0), T); server.timeout = 300; print(server.server_port)
server.handle_request(); server.handle_request()' \
  openssl ts -reply -config tsa.cnf -section default -signer tsa.crt -inkey tsa.key -queryfile /dev/stdin 2>/dev/null
read -r tsa_port <&"${COPROC[0]}"

# Refused, naming one of the two, before anything is built.
while read -r host game; do
  ! "$release" --update-host "$host" --game-server "$game" $signing --build-dir b --out o >log 2>&1 &&
    grep -qi "'\($host\|$game\)'" log && [ ! -e b ] || fail "$host / $game: not refused before building: $(cat log)"
done <<'EOF'
localhost               93.184.215.14
LocalHost               93.184.215.14
127.1                   93.184.215.14
updates.orvane.net      127.0.0.1
10.20.30.40             93.184.215.14
updates.orvane.net      172.16.5.5
updates.orvane.net      192.168.1.20
updates.orvane.example  93.184.215.14
updates.orvane.net      192.0.2.10
EOF
! "$release" --update-host updates.orvane.net --game-server 93.184.215.14 ${signing% --manifest-key*} --build-dir b \
  --out o >log 2>&1 && grep -q "no --manifest-key" log && [ ! -e b ] || fail "a release without a manifest key: $(cat log)"
"$release" --update-host updates.orvane.net --game-server 93.184.215.14 $signing --build-dir b --out o >log 2>&1 &&
  [ -s o/OrvaneLauncher.exe ] && grep -q "manifests: *signed" log || fail "a production build was not signed: $(tail -n 5 log)"

# A signature that does not verify ends with its reason, and no earlier release stays in the output folder.
while IFS='|' read -r pkcs12 ca reason; do
  ! "$release" --update-host updates.orvane.net --game-server 93.184.215.14 $signing --pkcs12 "$pkcs12" --ca-file "$ca" \
    --build-dir b --out o </dev/null >log 2>&1 && tail -n 1 log | grep -q "$reason" && [ ! -e o/OrvaneLauncher.exe ] ||
    fail "$pkcs12, $ca: not refused for '$reason', or an old release left: $(tail -n 1 log)"
  cp b/OrvaneLauncher.exe o/
done <<'EOF'
tls.p12|ca.crt|: wrong usage
cs.p12|tls.crt|: unknown issuer
EOF

# A floor needs a key, and a history with a signed version; the trial build takes its floor from one.
! "$release" --update-host updates.orvane.net --game-server 93.184.215.14 ${signing% --manifest-key*} --unsigned-manifests \
  --manifest-floor 5 --build-dir b --out o >log 2>&1 && grep -q "needs --manifest-key" log || fail "a floor without a key: $(cat log)"
mkdir -p build && echo x >build/x && "$publish" publish --build build --version 0.9 --served served \
  --signing-key "$out/manifest.key" >/dev/null 2>&1 || fail "publishing the history the floor comes from"
floor=$("$publish" history --served served | grep -o 'serial [0-9]*' | cut -d' ' -f2)
trial="--trial --update-host localhost --game-server 127.0.0.1 $signing --timestamp-url http://127.0.0.1:$tsa_port/"
trial+=" --manifest-floor-from served"
export ORVANE_PUBLISHER=$publish
! "$release" $trial --build-dir b --out o >log 2>&1 && grep -q "time-stamp .* does not verify" log ||
  fail "a time-stamp from an authority outside the system bundle was kept: $(tail -n 5 log)"
"$release" $trial --tsa-ca-file ca.crt --build-dir b --out "$out" >log 2>&1 || fail "trial build: $(tail -n 5 log)"
grep -q "^manifest floor from served: $floor$" log && grep -q "with a serial of at least $floor" log ||
  fail "the floor $floor from the history was not built in: $(grep -i floor log)"
osslsigncode verify -CAfile ca.crt -TSA-CAfile ca.crt -in "$out/OrvaneLauncher-TRIAL.exe" >log 2>&1 &&
  grep -q 'digest algorithm *: *SHA256' log && grep -q '^Timestamp Server Signature verification: ok' log ||
  fail "no time-stamped SHA-256 signature: $(cat log)"
(cd "$out" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not match"

python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[len(b) // 2] ^= 1
open(sys.argv[2], "wb").write(b)' "$out/OrvaneLauncher-TRIAL.exe" changed.exe
osslsigncode verify -CAfile ca.crt -in changed.exe >/dev/null 2>&1 && fail "one changed byte still verifies"

# Signing may only recompute the header checksum (88 bytes into the PE header) and pad the file with
# zeros for the signature.
osslsigncode remove-signature -in "$out/OrvaneLauncher-TRIAL.exe" -out shipped >/dev/null
mv b/OrvaneLauncher.exe built && truncate -s ">$(stat -c %s shipped)" built
at=$(($(od -An -tu4 -j60 -N4 built) + 88))
cmp -s -n $at built shipped && cmp -s -i $((at + 4)) built shipped || fail "signing changed the build itself"
