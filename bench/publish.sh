#!/bin/sh
# Publishing speed and memory, each figure against a reference measured in the same run:
# 1. about 1 GiB in 256 files: a first publish against `cp -r` plus one `openssl dgst -sha256` pass
#    (what it must do at least: copy and digest), a second publish of the unchanged build (whose files
#    it does not read again) against one single-threaded digest pass;
# 2. a live game's history: 20,000 small files, 100 versions of 2 % changes each (prune --keep 3 after
#    every publish), each command's time and peak memory at versions 2, 50 and 100 (the fastest of that
#    version and the next two, the largest memory) and the database's size;
# 3. small files: a first publish of 10,000, 50,000 and 100,000 files against `cp -r` plus `sync`, and a
#    1 % change of the largest against digesting the changed files plus reading the tree's metadata.
# Usage: bench/publish.sh [PUBLISHER_BUILD_DIR]   (default build-publisher, as made by tools/build-publisher.sh)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
publisher=${1:-$root/build-publisher}/orvane-publish
[ -x "$publisher" ] || { echo "no $publisher; run tools/build-publisher.sh first"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-bench-publish.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Nothing is removed before the end: ext4 skips inodes freed in the last minutes when it makes files,
# so a removal would slow whichever copy comes next.
trap 'exit 130' INT TERM
builds="python3 $root/bench/builds.py"
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
ratio() { echo "scale=2; $1 / $2" | bc; }
# run NAME COMMAND...: runs it quietly, keeping its time in $work/NAME.s and its peak memory (MB) in $work/NAME.mb
run() {
  name=$1; shift
  start=$(now)
  /usr/bin/time -f %M -o "$work/$name.kb" "$@" > /dev/null 2> "$work/err" || { cat "$work/err"; exit 1; }
  elapsed "$start" "$(now)" > "$work/$name.s"
  echo "$(cat "$work/$name.kb") / 1024" | bc > "$work/$name.mb"
}
# best NAME COMMAND...: the fastest of three runs of a command that changes nothing
best() {
  name=$1; shift
  run "$name" "$@"; t=$(cat "$work/$name.s"); m=$(cat "$work/$name.mb")
  for i in 1 2; do
    run "$name" "$@"
    [ "$(echo "$(cat "$work/$name.s") < $t" | bc)" = 1 ] && t=$(cat "$work/$name.s")
  done
  echo "$t" > "$work/$name.s"; echo "$m" > "$work/$name.mb"
}
# fold NAME: keeps the least time and the most memory of NAME.now and of what NAME held before
fold() {
  if [ ! -f "$work/$1.s" ] || [ "$(echo "$(cat "$work/$1.now.s") < $(cat "$work/$1.s")" | bc)" = 1 ]; then
    cp "$work/$1.now.s" "$work/$1.s"
  fi
  if [ ! -f "$work/$1.mb" ] || [ "$(cat "$work/$1.now.mb")" -gt "$(cat "$work/$1.mb")" ]; then
    cp "$work/$1.now.mb" "$work/$1.mb"
  fi
}
figure() { printf '%s s, %s MB' "$(cat "$work/$1.s")" "$(cat "$work/$1.mb")"; }

echo "== 1 GiB in 256 files, $(nproc) cores"
mkdir -p "$work/build/Content"
for i in $(seq 1 256); do
  head -c $(( (i % 7 + 1) * 1048576 )) /dev/urandom > "$work/build/Content/pak$i.bin"
done
cat "$work"/build/Content/* > /dev/null  # every run reads from the page cache, none from the disk
sync; start=$(now)
cp -r "$work/build" "$work/copy"
copied=$(now)
find "$work/build" -type f -exec openssl dgst -sha256 {} + > /dev/null
digested=$(now)
copy_s=$(elapsed "$start" "$copied"); digest_s=$(elapsed "$copied" "$digested")
sync; run first "$publisher" publish --build "$work/build" --version 1 --served "$work/served"
sync; run second "$publisher" publish --build "$work/build" --version 2 --served "$work/served"
echo "first publish $(figure first); cp -r ${copy_s} s + openssl dgst ${digest_s} s: ratio $(ratio "$(cat "$work/first.s")" "$(echo "$copy_s + $digest_s" | bc)")"
echo "second publish (unchanged build, not read again) $(figure second); openssl dgst ${digest_s} s: ratio $(ratio "$(cat "$work/second.s")" "$digest_s")"

echo "== 20,000 files, 100 versions of 2 % changes"
b=$work/game; s=$work/game-served
$builds make "$b" 20000 1
for v in $(seq 1 102); do
  [ "$v" = 1 ] || $builds change "$b" "$v" 2 > /dev/null
  case $v in 2|3|4) c=2 ;; 50|51|52) c=50 ;; 100|101|102) c=100 ;; *) c="" ;; esac
  if [ -z "$c" ]; then
    "$publisher" publish --build "$b" --version "$v" --served "$s" 2> /dev/null
    "$publisher" prune --served "$s" --keep 3 2> /dev/null
    continue
  fi
  # Commands that change the tree run once a version; the prune measured finds nothing more to remove,
  # since how long removing takes depends on what is removed, not on the history.
  best "dry$c.now" "$publisher" publish --build "$b" --version "$v" --served "$s" --dry-run; fold "dry$c"
  run "publish$c.now" "$publisher" publish --build "$b" --version "$v" --served "$s"; fold "publish$c"
  best "history$c.now" "$publisher" history --served "$s"; fold "history$c"
  best "verify$c.now" "$publisher" verify --served "$s"; fold "verify$c"
  run "rollback$c.now" "$publisher" rollback --to "$((v - 1))" --version "${v}r" --served "$s"; fold "rollback$c"
  "$publisher" prune --served "$s" --keep 3 2> /dev/null
  best "prune$c.now" "$publisher" prune --served "$s" --keep 3; fold "prune$c"
  echo "$(stat -c %s "$s/publish-history.db") / 1048576" | bc -l | xargs printf '%.1f' > "$work/db$c"
done
echo "| command | version 2 | version 50 | version 100 | time, memory at 100 against 2 |"
echo "|---|---|---|---|---|"
for c in publish dry history verify rollback prune; do
  echo "| $c | $(figure "${c}2") | $(figure "${c}50") | $(figure "${c}100") | $(ratio "$(cat "$work/${c}100.s")" "$(cat "$work/${c}2.s")"), $(ratio "$(cat "$work/${c}100.mb")" "$(cat "$work/${c}2.mb")") |"
done
echo "| database | $(cat "$work/db2") MB | $(cat "$work/db50") MB | $(cat "$work/db100") MB | |"

echo "== small files: first publish against cp -r + sync"
echo "| files | publish | cp -r + sync | ratio |"
echo "|---|---|---|---|"
for n in 10000 50000 100000; do
  $builds make "$work/small$n" "$n" 2
  cp_s=""; pub_s=""
  rounds="1 2"; [ "$n" = 100000 ] && rounds=1
  for i in $rounds; do  # alternately, the best of two: other work on the machine flushes to the same disk
    sync; start=$(now); cp -r "$work/small$n" "$work/copy$n-$i"; sync; t=$(elapsed "$start" "$(now)")
    [ -z "$cp_s" ] || [ "$(echo "$t < $cp_s" | bc)" = 1 ] && cp_s=$t
    sync; run "small$n" "$publisher" publish --build "$work/small$n" --version 1 --served "$work/small-served$n-$i"
    t=$(cat "$work/small$n.s")
    [ -z "$pub_s" ] || [ "$(echo "$t < $pub_s" | bc)" = 1 ] && pub_s=$t
  done
  echo "| $n | $pub_s s, $(cat "$work/small$n.mb") MB | $cp_s s | $(ratio "$pub_s" "$cp_s") |"
done

echo "== 1 % of 100,000 files changed"
$builds change "$work/small100000" 3 1 > "$work/changed"
sync; run change "$publisher" publish --build "$work/small100000" --version 2 --served "$work/small-served100000-1"
start=$(now)
find "$work/small100000" -printf '%s %T@ %C@ %i\n' > /dev/null
tr '\n' '\0' < "$work/changed" | xargs -0 openssl dgst -sha256 > /dev/null
ref_s=$(elapsed "$start" "$(now)")
echo "publish $(figure change); digest of the changed files + the tree's metadata $ref_s s: ratio $(ratio "$(cat "$work/change.s")" "$ref_s")"
