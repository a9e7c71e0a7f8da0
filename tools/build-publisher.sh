#!/bin/sh
# Builds the publisher (a native Linux program) into BUILD_DIR (default build-publisher/), installing
# only what it needs; --jobs N compiles N files at a time (default: one per core).
# Usage: build-publisher.sh [BUILD_DIR] [--jobs N]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-publisher jobs=""
while [ $# -gt 0 ]; do
  case $1 in
    --jobs) [ $# -ge 2 ] && [ "$2" -ge 1 ] 2>/dev/null || { echo "--jobs needs a number of at least 1" >&2; exit 2; }
            jobs="-j $2"; shift 2 ;;
    -*) echo "usage: $0 [BUILD_DIR] [--jobs N]" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
"$root/tools/install-deps.sh" publisher
cmake -S "$root/publisher" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" $jobs
