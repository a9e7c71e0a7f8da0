#!/bin/sh
# Starts Xvfb on DISPLAY for the window tests; its pid goes to STATE_DIR.
# Usage: start.sh DISPLAY STATE_DIR
set -eu
display=$1 state=$2
here=$(cd "$(dirname "$0")" && pwd)
"$here/stop.sh" "$state"
mkdir -p "$state"
setsid Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >"$state/xvfb.log" 2>&1 &
echo $! > "$state/xvfb.pid"
for _ in $(seq 1 100); do
  if [ -e "/tmp/.X11-unix/X${display#:}" ]; then
    echo "Xvfb ready on $display"
    exit 0
  fi
  kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null || break
  sleep 0.1
done
echo "Xvfb did not start" >&2
cat "$state/xvfb.log" >&2
exit 1
