#!/bin/bash
# Releases with a throwaway code-signing authority: hosts players cannot reach are refused before
# anything is built, a production build is signed, a time-stamp is kept only from a trusted authority,
# and a trial build for localhost is signed and time-stamped, verifies, stops verifying after one
# changed byte and is the unsigned build plus its signature. The trial exe
# stays in OUT_DIR for the tests that run a real update session with the exe a team would ship.
# Usage: release_test.sh RELEASE_SH OUT_DIR
set -eu
release=$1 out=$2
tmp=$(mktemp -d)
tsa_pid=""
trap 'kill $tsa_pid 2>/dev/null || true; rm -rf "$tmp"' EXIT
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

# A time-stamp authority under the same root: openssl ts answers two RFC 3161 requests over HTTP.
openssl req -new -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj /CN=OrvaneTestTSA 2>/dev/null
printf 'extendedKeyUsage=critical,timeStamping\n' >tsa.ext
openssl x509 -req -in tsa.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile tsa.ext -out tsa.crt 2>/dev/null
printf '[tsa]\ndefault_tsa=t\n[t]\nserial=tsa.serial\nsigner_cert=tsa.crt\nsigner_key=tsa.key\nsigner_digest=sha256\ndefault_policy=1.2.3.4\ndigests=sha256\n' >tsa.cnf
python3 -c 'import http.server as h, subprocess as s
class T(h.BaseHTTPRequestHandler):
    def do_POST(self):
        q = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200); self.send_header("Content-Type", "application/timestamp-reply"); self.end_headers()
        self.wfile.write(s.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin"],
                               input=q, capture_output=True).stdout)
server = h.HTTPServer(("127.0.0.1", 0), T); server.timeout = 300; open("tsa.port", "w").write(str(server.server_port))
server.handle_request(); server.handle_request()' 2>/dev/null &
tsa_pid=$!
for _ in $(seq 50); do [ -s tsa.port ] && break; sleep 0.1; done
tsa="--timestamp-url http://127.0.0.1:$(cat tsa.port)/"

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

trial="--trial --update-host localhost --game-server 127.0.0.1 $signing $tsa"
! "$release" $trial --build-dir b --out o >log 2>&1 && grep -q "time-stamp .* does not verify" log ||
  fail "a time-stamp from an authority outside the system bundle was kept: $(tail -n 5 log)"
rm -rf b "$out"
"$release" $trial --tsa-ca-file ca.crt --build-dir b --out "$out" >log 2>&1 || fail "trial build: $(tail -n 5 log)"
exe=$out/OrvaneLauncher.exe
osslsigncode verify -CAfile ca.crt -TSA-CAfile ca.crt -in "$exe" >log 2>&1 && grep -q 'digest algorithm *: *SHA256' log &&
  grep -q '^Timestamp Server Signature verification: ok' log || fail "no time-stamped SHA-256 signature: $(cat log)"
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
