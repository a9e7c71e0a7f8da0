#!/bin/sh
# Stops whatever start.sh started in STATE_DIR, a process for each pid file; safe when nothing runs.
for f in "$1"/*.pid; do
  [ -s "$f" ] || continue
  pid=$(cat "$f")
  kill "$pid" 2>/dev/null && timeout 5 tail -s 0.1 --pid="$pid" -f /dev/null
  kill -9 "$pid" 2>/dev/null
  rm -f "$f"
done
exit 0
