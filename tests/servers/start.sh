#!/bin/sh
# Starts the test update servers: nginx on 127.0.0.1:443 and the fault server on 127.0.0.4:443, reached
# at 127.0.0.2:443 through a link emulator that is transparent until fault-www/control.txt scripts it;
# a certificate from a throwaway authority that only the build tree's Wine prefix trusts.
# Usage: start.sh STATE_DIR WINE_RUN TRUST_TOOL_EXE [NGINX_RATE]   (nginx's limit_rate; default 0, no limit)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
state=$1 pki=$1/pki
"$here/stop.sh" "$state"
mkdir -p "$pki" "$state/www/updates" "$state/fault-www/updates"
if [ ! -s "$pki/server.crt" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Orvane Test Authority" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$pki/ca.key" -out "$pki/ca.crt" 2>/dev/null
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" \
    -addext "basicConstraints=critical,CA:FALSE" -addext "extendedKeyUsage=serverAuth" \
    -addext "subjectAltName=DNS:localhost,DNS:127.0.0.2,IP:127.0.0.1,IP:127.0.0.2" \
    -keyout "$pki/server.key" -out "$pki/server.crt" 2>/dev/null
  openssl x509 -in "$pki/ca.crt" -outform der -out "$pki/ca.der"
fi
# The origin behind the caching edge shows a chain through two intermediates, as public authorities
# issue them: the edge must check it whole.
if [ ! -s "$pki/origin-chain.crt" ]; then
  issuer=ca
  for n in 1 2; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Orvane Test Intermediate $n" \
      -CA "$pki/$issuer.crt" -CAkey "$pki/$issuer.key" -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" -keyout "$pki/intermediate$n.key" -out "$pki/intermediate$n.crt" 2>/dev/null
    issuer=intermediate$n
  done
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" -CA "$pki/intermediate2.crt" \
    -CAkey "$pki/intermediate2.key" -addext "basicConstraints=critical,CA:FALSE" -addext "extendedKeyUsage=serverAuth" \
    -addext "subjectAltName=DNS:localhost" -keyout "$pki/origin.key" -out "$pki/origin.crt" 2>/dev/null
  cat "$pki/origin.crt" "$pki/intermediate2.crt" "$pki/intermediate1.crt" > "$pki/origin-chain.crt"
fi
# Trusted inside the test prefix only; the host's trust store is left alone.
"$2" "$3" "Z:$(echo "$pki/ca.der" | tr / '\\')"

# The shipped site configurations, pointed at this folder; each substitution must have taken. site.conf
# chooses what nginx serves: the site alone on 127.0.0.1 and ::1, or (tests/e2e, "edge") the caching
# edge there in front of the same site on 127.0.0.3.
sed -e "s|@STATE@|$state|g" -e "s|@RATE@|${4:-0}|" "$here/nginx.conf.in" > "$state/nginx.conf"
render() {  # render FILE IPv4 IPv6-or-empty OUT [CERTIFICATE-CHAIN KEY]
  sed -e "s|^\( *listen\) [0-9].*# change.*|\1 $2:443 ssl;|" -e "s|^\( *listen\) \[.*# change.*|${3:+  listen $3:443 ssl;}|" \
    -e "s|^\( *server_name\) .*# change.*|\1 localhost;|" \
    -e "s|^\( *ssl_certificate\) .*# change.*|\1 ${5:-$pki/server.crt};|" \
    -e "s|^\( *ssl_certificate_key\) .*# change.*|\1 ${6:-$pki/server.key};|" \
    -e "s|^\( *root\) .*# ROOT.*|\1 $state/www;|" \
    -e "s|^\(proxy_cache_path\) [^ ]*\(.*\)  # change.*|\1 $state/edge-cache\2|" -e "s|^\( *server\) .*# change.*|\1 127.0.0.3:443;|" \
    -e "s|^\( *proxy_set_header Host\) .*# change.*|\1 localhost;|" -e "s|^\( *proxy_ssl_name\) .*# change.*|\1 localhost;|" \
    -e "s|^\( *proxy_ssl_trusted_certificate\) .*# change.*|\1 $pki/ca.crt;|" "$here/../../deploy/nginx/$1" > "$state/$4"
  ! grep -n "^ *[a-z].*# change" "$state/$4" >&2 || { echo "left as shipped in $4" >&2; exit 1; }
  ! grep -q "^ *root" "$state/$4" || grep -q "root $state/www;" "$state/$4" || { echo "$4 lacks its root" >&2; exit 1; }
}
render orvane-updates.conf 127.0.0.1 "[::1]" orvane-updates.conf
render orvane-updates.conf 127.0.0.3 "" origin-behind-edge.conf "$pki/origin-chain.crt" "$pki/origin.key"
render orvane-edge.conf 127.0.0.1 "[::1]" orvane-edge.conf
echo "include $state/orvane-updates.conf;" > "$state/site.conf"
rm -rf "$state/edge-cache"
nginx -p "$state" -c "$state/nginx.conf" -e "$state/nginx-error.log"
setsid python3 "$here/fault_server.py" "$state/fault-www" "$state/fault-requests.log" 127.0.0.4 \
  "$pki/server.crt" "$pki/server.key" </dev/null >"$state/fault-server.out" 2>&1 &
echo $! > "$state/fault-server.pid"
setsid python3 "$here/link_emulator.py" 127.0.0.2 443 127.0.0.4 443 "$state/fault-www/control.txt" "$state/link.log" \
  </dev/null >"$state/link-emulator.out" 2>&1 &
echo $! > "$state/link-emulator.pid"
for url in https://localhost/ https://127.0.0.2/; do
  if ! curl -s -o /dev/null --cacert "$pki/ca.crt" --retry 20 --retry-delay 1 --retry-connrefused "$url"; then
    echo "update servers did not come up" >&2
    cat "$state/nginx-error.log" "$state/fault-server.out" "$state/link-emulator.out" >&2 || true
    "$here/stop.sh" "$state"
    exit 1
  fi
done
: > "$state/nginx-access.log"
: > "$state/fault-requests.log"
echo "update servers ready in $state"
