#!/bin/sh
# Hashes the same random bytes with our CNG code under Wine and with coreutils; they must agree.
set -eu
wine_run=$1
tool=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for size in 0 1 63 64 65 1048575 1048576 1048577 5242880 7340033; do
  head -c "$size" /dev/urandom > "$dir/f$size"
done
expected=$(cd "$dir" && for f in $(ls | sort -t f -k2 -n); do sha256sum "$f" | cut -d' ' -f1; done)
windows_dir="Z:$(echo "$dir" | tr / '\\')"
args=$(cd "$dir" && for f in $(ls | sort -t f -k2 -n); do printf '%s\\%s ' "$windows_dir" "$f"; done)
# shellcheck disable=SC2086
actual=$("$wine_run" "$tool" $args | tr -d '\r')
if [ "$expected" != "$actual" ]; then
  echo "digests differ"; echo "expected:"; echo "$expected"; echo "actual:"; echo "$actual"
  exit 1
fi
echo "10 files agree with sha256sum"
