#!/bin/sh
# Builds the publisher (a native Linux program) into BUILD_DIR (default build-publisher/).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-publisher}
"$root/tools/install-deps.sh"
cmake -S "$root/publisher" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
