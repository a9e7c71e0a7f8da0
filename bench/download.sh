#!/bin/sh
# Download throughput and memory against nginx on loopback, and a skip run over a current tree.
# Usage: bench/download.sh [BUILD_DIR]   (default build-tests, as made by tools/test.sh)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tests}
state=$build/bench-servers
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
cleanup() { "$root/tests/servers/stop.sh" "$state"; wineserver -k >/dev/null 2>&1 || true; rm -rf "$state/www/updates" "$state/tree" "$state"/big.*; }
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$WINEPREFIX" "$state"
# The server writes to the output it was started with, even when it is stopped (its list of objects
# left, at the end of every run): that goes to a file, not to the run's output.
wineserver -p >>"$state/wineserver.log" 2>&1
"$root/tests/servers/start.sh" "$state" "$build/wine-run" "$build/tests/trust_test_authority.exe" >/dev/null
win() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
tool="$build/bench/bench_download.exe"

size=$((1024 * 1048576))
# Served as a stored file is: the site serves nothing else.
mkdir -p "$state/www/updates/blobs"
head -c "$size" /dev/urandom > "$state/big.bin"
url=/updates/blobs/$(sha256sum "$state/big.bin" | cut -c1-64)
mv "$state/big.bin" "$state/www$url"
cat "$state/www$url" > /dev/null
rm -f "$state/big.download"
set -- $(wine "$tool" ours "$url" "$(win "$state/big.download")" "$size")
ours=$1 peak=$2
cmp -s "$state/big.download" "$state/www$url" || { echo "downloaded bytes differ"; exit 1; }
rm -f "$state/big.download"
set -- $(wine "$tool" plain "$url" "$(win "$state/big.plain")")
plain=$1
rm -f "$state/big.plain"
start=$(date +%s.%N)
curl -s --cacert "$state/pki/ca.crt" -o "$state/big.curl" "https://localhost$url"
curl_s=$(echo "$(date +%s.%N) - $start" | bc)
rm -f "$state/big.curl" "$state/www$url"
mib() { echo "scale=0; 1024 / $1" | bc; }
echo "download 1 GiB: DownloadToFile ${ours} s ($(mib "$ours") MiB/s), plain WinHTTP loop ${plain} s ($(mib "$plain") MiB/s), curl ${curl_s} s ($(mib "$curl_s") MiB/s)"
echo "ratios: ours/plain time $(echo "scale=2; $ours / $plain" | bc), ours/curl time $(echo "scale=2; $ours / $curl_s" | bc); peak working set of the Wine process during DownloadToFile: ${peak} MiB"

# A current tree of 1,000 files under a different installed version: every file is checked, none fetched.
tree=$state/tree
mkdir -p "$tree/Content"
python3 - "$tree" "$state/www/updates" <<'PY'
import hashlib, json, os, sys
tree, served = sys.argv[1], sys.argv[2]
files = []
for i in range(1000):
    data = os.urandom(1000 + i * 97)
    rel = f"Content/pak{i:04d}.bin"
    with open(os.path.join(tree, rel), "wb") as f:
        f.write(data)
    files.append({"path": rel, "url": f"/updates/blobs/{i}", "sha256": hashlib.sha256(data).hexdigest(), "size": len(data)})
with open(os.path.join(served, "latest.json"), "w") as f:
    json.dump({"version": "2.0", "mandatory": False, "files": files, "deletedFiles": []}, f, indent=1)
PY
printf 'MZ' > "$tree/Orvane.exe"
printf '1.9\n' > "$tree/launcher-version.txt"
: > "$state/nginx-access.log"
# The first Wine process after the server starts pays for Wine's own start-up; players' later starts
# are the warm figure.
set -- $(wine "$tool" session "$(win "$tree")" 2>/dev/null)
first=$1
printf '1.9\n' > "$tree/launcher-version.txt"  # the first run recorded 2.0; the second must check again
set -- $(wine "$tool" session "$(win "$tree")" 2>/dev/null)
requests=$(wc -l < "$state/nginx-access.log")
echo "skip run over 1,000 current files: ${first} s first, ${1} s warm; requests logged by the server: ${requests} (two runs)"
