#!/bin/sh
# Installs what building, testing and releasing need on Debian 12; does nothing when all is there.
# Usage: install-deps.sh [publisher | tests]
#   publisher: only what building and running orvane-publish needs (rclone carries its pushes);
#   tests: everything, the servers the tests start (OpenSSH's, s3rver from npm, pinned) and faketime;
#   none: everything but those servers. (tools/release.sh signs with osslsigncode; bookworm's 2.5 is enough.)
set -eu
publisher="cmake ninja-build googletest g++ libssl-dev nlohmann-json3-dev libcli11-dev libcurl4-openssl-dev libsqlite3-dev sqlite3 rclone ca-certificates"
launcher="g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth nginx-light openssl curl python3 coreutils bc imagemagick osslsigncode"
case "${1:-}" in
  publisher) packages=$publisher ;;
  tests) packages="$publisher $launcher openssh-server faketime" ;;
  "") packages="$publisher $launcher" ;;
  *) echo "usage: $0 [publisher | tests]" >&2; exit 2 ;;
esac
command -v npm >/dev/null 2>&1 || [ "${1:-}" != tests ] || packages="$packages nodejs npm"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  # No service starts on this machine's own addresses while installing (openssh-server's would):
  # the tests start their own servers on loopback addresses, with their own configuration.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
# s3rver, an S3-compatible server for the push tests, at the version they were written against
# (tests/servers/start-storage.sh starts it from here).
s3rver=/opt/orvane-test-tools/s3rver-3.7.1
if [ "${1:-}" = tests ] && [ ! -x "$s3rver/node_modules/.bin/s3rver" ]; then
  echo "installing: s3rver 3.7.1 (npm) into $s3rver"
  mkdir -p "$s3rver"
  npm install --prefix "$s3rver" --no-audit --no-fund --loglevel=error s3rver@3.7.1 >/dev/null
fi
