#!/bin/sh
# Builds everything and runs the whole test suite under Wine with a prefix private to the build tree.
set -eu
# The window tests need a display, and Wine's desktop process binds to the one the first Wine process
# sees, so the whole run goes under one Xvfb; xvfb-run stops it when the run ends, however it ends.
if [ -z "${ORVANE_UNDER_XVFB:-}" ]; then
  "$(dirname "$0")/install-deps.sh" tests
  ORVANE_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_TEST_BUILD_DIR:-$root/build-tests}
# The publisher is a native Linux program; the tests run it and its own tests.
"$root/tools/build-publisher.sh" "$build/publisher"
# The tests talk to servers on this machine, so their build names localhost as the update host.
ORVANE_BUILD_DIR=$build "$root/tools/build.sh" -DUpdateServerHost=localhost -DORVANE_PUBLISHER_DIR="$build/publisher"
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# Whatever happens, no Wine process of ours outlives the run.
cleanup() {
  "$root/tests/servers/stop.sh" "$build/test-servers"
  "$root/tests/servers/stop.sh" "$build/storage-servers"
  ! mountpoint -q "$build/test-servers/small-disk" || umount "$build/test-servers/small-disk"
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Create the prefix once and keep a wineserver up, so that single tests do not wait for Wine's
# background processes to let go of their output pipe.
mkdir -p "$WINEPREFIX"
wineserver -k >/dev/null 2>&1 || true
# The server writes to the output it was started with, even when it is stopped (its list of objects
# left, at the end of every run): that goes to a file, not to the run's output.
wineserver -p >>"$build/wineserver.log" 2>&1
# No Mono or Gecko: a fresh prefix would otherwise offer to download them, in a window nobody sees.
WINEDLLOVERRIDES="mscoree,mshtml=" wine cmd /c exit </dev/null >/dev/null 2>&1
cd "$build"
ctest --output-on-failure --timeout 300 "$@"
