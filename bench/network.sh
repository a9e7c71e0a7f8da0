#!/bin/sh
# Update time on emulated player links against the floor the protocol allows. nginx serves the
# publisher's tree with the shipped site; the launcher's engine reaches it through the link emulator
# (tests/servers/link_emulator.py) on 127.0.0.2, which logs every connection's flights of bytes.
# Two builds, each installed fresh and then updated once (every 10th small file, one big file changed):
# SMALL files of 4 KiB and 4 files of BIG MiB, at round trips 0, 20 and 80 ms and caps of 20 and 100 Mbit/s.
# The floor of a session is, for each request it made, the round trips a new TCP + TLS connection and a
# GET need (counted from the emulator's log of the first 80 ms run) plus its bytes on the link over the cap.
# Usage: bench/network.sh [BUILD_DIR] [SMALL] [BIG]   (defaults: build-tests as made by tools/test.sh, 200, 16;
# 2000 and 64 take about 40 minutes). Run it inside a network namespace of its own (unshare -n).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-tests}" && pwd) small=${2:-200} big=${3:-16}
state=$build/bench-network
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
cleanup() { "$root/tests/servers/stop.sh" "$state"; wineserver -k >/dev/null 2>&1 || true; rm -rf "$state/trees" "$state/builds" "$state/game" "$state/www/updates"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
python3 "$root/bench/link_check.py"  # the emulator gives what is asked, or there is nothing to measure
mkdir -p "$WINEPREFIX" "$state"
wineserver -p >>"$state/wineserver.log" 2>&1
"$root/tests/servers/start.sh" "$state" "$build/wine-run" "$build/tests/trust_test_authority.exe" >/dev/null
# Windows closes the launcher's connection with each request's session handle; Wine 8 keeps it in a pool
# of the process and sends the next request over it (measured: one connection for a whole session). nginx
# closing after every response makes Wine connect anew for each request, as the launcher does on Windows.
sed -i 's|^\( *keepalive_timeout\) .*;|\1 0;|' "$state/orvane-updates.conf"
grep -q 'keepalive_timeout 0;' "$state/orvane-updates.conf" || { echo "the site's keepalive_timeout was not set to 0" >&2; exit 1; }
nginx -p "$state" -c "$state/nginx.conf" -s reload
sleep 1
# The link goes to nginx here, not to the fault server.
pid=$(cat "$state/link-emulator.pid")
kill "$pid" && timeout 5 tail -s 0.1 --pid="$pid" -f /dev/null
: > "$state/link.txt"
setsid python3 "$root/tests/servers/link_emulator.py" 127.0.0.2 443 127.0.0.1 443 "$state/link.txt" "$state/link.log" \
  </dev/null >"$state/link-emulator.out" 2>&1 &
echo $! > "$state/link-emulator.pid"
curl -s -o /dev/null --cacert "$state/pki/ca.crt" --retry 20 --retry-delay 1 --retry-connrefused https://127.0.0.2/
win() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
tool="$build/bench/bench_download_link.exe" publish="$build/publisher/orvane-publish"

# The builds, version 1 and 2 of each, and for each a served tree with version 1 and one with both.
python3 - "$state/builds" "$small" "$big" <<'PY'
import os, sys
out, small, big = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(data)
for v in (1, 2):
    for s in ("small", "big"):
        put(f"{out}/{s}-{v}/Orvane.exe", b"MZ" + bytes(4094))
    for i in range(small):
        put(f"{out}/small-{v}/Content/s/{i:05d}.bin", os.urandom(4096) if v == 1 or i % 10 == 0 else
            open(f"{out}/small-1/Content/s/{i:05d}.bin", "rb").read())
    for i in range(4):
        put(f"{out}/big-{v}/Content/b/{i}.pak", os.urandom(big << 20) if v == 1 or i == 0 else
            open(f"{out}/big-1/Content/b/{i}.pak", "rb").read())
PY
for set in small big; do
  "$publish" publish --build "$state/builds/$set-1" --version 1 --served "$state/trees/$set-1" 2>/dev/null
  for v in 1 2; do
    "$publish" publish --build "$state/builds/$set-$v" --version $v --served "$state/trees/$set-2" 2>/dev/null
  done
done
rm -rf "$state/www/updates"

# session TREE [BUILD]: one update session over $state/game against that tree, whose result must equal
# the build when one is named; prints "<seconds> <line of the link's log it began at>".
session() {
  # Hard links: the site follows no symbolic link.
  rm -rf "$state/www/updates" && cp -al "$state/trees/$1/updates" "$state/www/updates"
  mkdir -p "$state/game"
  before=$(wc -l < "$state/link.log")
  seconds=$(wine "$tool" session "$(win "$state/game")" 2>/dev/null | cut -d' ' -f1)
  [ -z "${2:-}" ] || diff -rq -x launcher-version.txt -x launcher-update.log "$state/builds/$2" "$state/game" >&2
  echo "$seconds $before"
}
# figures FROM RTT_MS MBITS ROUNDTRIPS: requests, link bytes and floor of the connections logged since line FROM.
figures() {
  python3 - "$state/link.log" "$@" <<'PY'
import sys
log, start, rtt, mbits, trips = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]) / 1000, float(sys.argv[4]), int(sys.argv[5])
lines = [l.split() for l in open(log).read().splitlines()[start:]]
wire = sum(int(f[1:]) for l in lines for f in l)
print(len(lines), f"{wire / 1e6:.1f}", f"{len(lines) * trips * rtt + wire * 8 / (mbits * 1e6):.2f}")
PY
}
# The round trips the connections since line FROM waited for: TCP's handshake, then every flight to
# nginx that nginx answered. Prints the most common count, then each count with its connections.
trips() {
  python3 - "$state/link.log" "$1" <<'PY'
import collections, sys
lines = [l.split() for l in open(sys.argv[1]).read().splitlines()[int(sys.argv[2]):]]
counts = collections.Counter(1 + sum(a[0] == "u" and b[0] == "d" for a, b in zip(l, l[1:])) for l in lines)
print(counts.most_common(1)[0][0], " ".join(f"{n}:{c}" for n, c in sorted(counts.items())))
PY
}

# What the client costs without a network (no delay, no cap): Wine's TLS and request in a plain loop,
# the launcher's install, and the check of a current tree (the folder walk and every digest).
rm -rf "$state/game"
set -- $(session small-1 small-1)
install0=$1
url=/updates/blobs/$(sha256sum "$state/builds/small-1/Content/s/00000.bin" | cut -c1-64)
plain=$(wine "$tool" requests "$url" "$small" | cut -d' ' -f1)
printf '0.9\n' > "$state/game/launcher-version.txt"
check_small=$(session small-1 | cut -d' ' -f1)
# The same install into memory, where flushing a file to disk costs nothing.
shm=$(mktemp -d /dev/shm/orvane-bench.XXXXXX)
rm -rf "$state/www/updates" && cp -al "$state/trees/small-1/updates" "$state/www/updates"
install_shm=$(wine "$tool" session "$(win "$shm")" 2>/dev/null | cut -d' ' -f1)
rm -rf "$shm"
rm -rf "$state/game"
session big-1 big-1 >/dev/null
printf '0.9\n' > "$state/game/launcher-version.txt"
check_big=$(session big-1 | cut -d' ' -f1)

ratio() { if [ "$2" = 0.00 ]; then echo -; else echo "scale=2; $1 / $2" | bc; fi; }
table=$state/table.txt
printf '%-6s %-8s %4s %5s %8s %8s %8s %8s %6s %7s\n' build step rtt Mbit requests MB floor/s time/s ratio 'ratio/3' > "$table"
trips=""
for rtt in 80 20 0; do
  for mbits in 20 100; do
    printf 'link delay %s\nlink rate %s\n' "$(echo "scale=1; $rtt / 2" | bc)" "$mbits" > "$state/link.txt"
    for set in small big; do
      rm -rf "$state/game"
      for step in install update; do
        v=$([ $step = install ] && echo 1 || echo 2)
        set -- $(session "$set-$v" "$set-$v")
        time_s=$1 from=$2
        if [ -z "$trips" ]; then  # counted where the round trips stand out: the first run, at 80 ms
          counted=$(trips "$from")
          trips=${counted%% *}
        fi
        set -- $(figures "$from" "$rtt" "$mbits" "$trips") $(figures "$from" "$rtt" "$mbits" 3)
        printf '%-6s %-8s %4s %5s %8s %8s %8s %8s %6s %7s\n' $set $step $rtt $mbits "$1" "$2" "$3" "$time_s" \
          "$(ratio "$time_s" "$3")" "$(ratio "$time_s" "$6")" >> "$table"
      done
    done
  done
done
echo "builds: $small files of 4 KiB, 4 files of $big MiB (each with Orvane.exe); update: every 10th small file, one big file"
echo "round trips per request, counted from the emulator's log at 80 ms: $trips (count:connections ${counted#* });" \
  "ratio/3: against a floor of 3, what TCP + TLS 1.3 + GET need"
echo "client work without network: plain WinHTTP request $(echo "scale=1; 1000 * $plain / $small" | bc) ms," \
  "the launcher's install $(echo "scale=1; 1000 * $install0 / ($small + 2)" | bc) ms a request" \
  "($(echo "scale=1; 1000 * $install_shm / ($small + 2)" | bc) ms into /dev/shm, where flushes cost nothing);" \
  "check of a current tree: $small small files ${check_small} s, 4 x $big MiB ${check_big} s"
cat "$table"
