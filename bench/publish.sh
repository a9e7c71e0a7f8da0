#!/bin/sh
# Publishing speed on about 1 GiB in 256 files, each figure against plain tools in the same run:
# a first publish against `cp -r` plus one `openssl dgst -sha256` pass (what it must do at least: copy
# and digest), and a second publish of the unchanged build against one single-threaded digest pass.
# Usage: bench/publish.sh [PUBLISHER_BUILD_DIR]   (default build-publisher, as made by tools/build-publisher.sh)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
publisher=${1:-$root/build-publisher}/orvane-publish
[ -x "$publisher" ] || { echo "no $publisher; run tools/build-publisher.sh first"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-bench-publish.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/build/Content"
for i in $(seq 1 256); do
  head -c $(( (i % 7 + 1) * 1048576 )) /dev/urandom > "$work/build/Content/pak$i.bin"
done
bytes=$(du -sb "$work/build" | cut -f1)
cat "$work"/build/Content/* > /dev/null  # every run reads from the page cache, none from the disk
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
ratio() { echo "scale=2; $1 / $2" | bc; }

sync; start=$(now)
cp -r "$work/build" "$work/copy"
copied=$(now)
find "$work/build" -type f -exec openssl dgst -sha256 {} + > /dev/null
digested=$(now)
copy_s=$(elapsed "$start" "$copied"); digest_s=$(elapsed "$copied" "$digested")
rm -rf "$work/copy"

sync; start=$(now)
"$publisher" publish --build "$work/build" --version 1 --served "$work/served" 2> /dev/null
first_s=$(elapsed "$start" "$(now)")
sync; start=$(now)
"$publisher" publish --build "$work/build" --version 2 --served "$work/served" 2> /dev/null
second_s=$(elapsed "$start" "$(now)")

echo "build: $bytes bytes in 256 files, $(nproc) cores"
echo "first publish ${first_s} s; cp -r ${copy_s} s + openssl dgst ${digest_s} s: ratio $(ratio "$first_s" "$(echo "$copy_s + $digest_s" | bc)")"
echo "second publish (unchanged build) ${second_s} s; openssl dgst ${digest_s} s: ratio $(ratio "$second_s" "$digest_s")"
