#!/bin/sh
# Installs what building, testing and releasing need on Debian 12; does nothing when all is there.
# (tools/release.sh signs with osslsigncode; bookworm's 2.5 is enough.)
set -eu
packages="cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth nginx-light openssl ca-certificates curl python3 coreutils bc imagemagick g++ libssl-dev nlohmann-json3-dev libcli11-dev libcurl4-openssl-dev libsqlite3-dev sqlite3 osslsigncode"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
