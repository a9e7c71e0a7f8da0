#!/bin/sh
# Push speed on a build of 1 GiB in 300 files, to a folder, to SFTP (OpenSSH) and to S3 (s3rver), the
# servers started here on 127.0.0.6 as the tests start them (run inside a network namespace:
# unshare -n sh -c 'ip link set lo up && bench/push.sh build-tests/publisher'). For each destination:
# a first push, then an unchanged one, each against a plain `rclone copy` of updates/ to a fresh place
# in the same run (what any upload costs at least).
# Usage: bench/push.sh [PUBLISHER_BUILD_DIR]   (default build-publisher)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
publisher=${1:-$root/build-publisher}/orvane-publish
[ -x "$publisher" ] || { echo "no $publisher; run tools/build-publisher.sh first"; exit 1; }
work=$(mktemp -d /dev/shm/orvane-bench-push.XXXXXX)
trap '"$root/tests/servers/stop.sh" "$work/storage"; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
"$root/tests/servers/start-storage.sh" "$work/storage" >/dev/null
unset AWS_CA_BUNDLE  # rclone 1.60's S3 backend refuses to start with it
config=$work/storage/rclone.conf

mkdir -p "$work/build/Content"
for i in $(seq 1 300); do
  head -c $(( (i % 7 + 1) * 1048576 * 1024 / 1200 )) /dev/urandom > "$work/build/Content/pak$i.bin"
done
"$publisher" publish --build "$work/build" --version 1 --served "$work/served" 2>/dev/null
echo "build: $(find "$work/build" -type f | wc -l) files, $(du -sh "$work/build" | cut -f1)"
now() { date +%s.%N; }
timed() { start=$(now); "$@" >/dev/null 2>&1; echo "$(now) - $start" | bc; }
printf '%-6s %10s %10s %10s %10s\n' dest "first s" "rclone s" ratio "unchanged s"
for pair in "folder $work/dest" "sftp sftp-test:$work/sftp-dest" "s3 s3-test:orvane/push"; do
  set -- $pair
  name=$1 dest=$2
  first=$(timed "$publisher" push --served "$work/served" --to "$dest" --rclone-config "$config")
  again=$(timed "$publisher" push --served "$work/served" --to "$dest" --rclone-config "$config")
  plain=$(timed rclone --config "$config" copy "$work/served/updates" "$dest-plain/updates")
  printf '%-6s %10.2f %10.2f %10.2f %10.2f\n' "$name" "$first" "$plain" "$(echo "scale=2; $first / $plain" | bc)" "$again"
done
