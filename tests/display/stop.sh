#!/bin/sh
# Stops the Xvfb that start.sh left in STATE_DIR; safe when none runs.
state=$1
[ -s "$state/xvfb.pid" ] || exit 0
pid=$(cat "$state/xvfb.pid")
kill "$pid" 2>/dev/null
for _ in $(seq 1 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -9 "$pid" 2>/dev/null
rm -f "$state/xvfb.pid"
exit 0
