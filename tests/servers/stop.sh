#!/bin/sh
# Stops whatever start.sh started in STATE_DIR; safe to run when nothing runs.
state=$1
if [ -s "$state/nginx.pid" ]; then
  kill "$(cat "$state/nginx.pid")" 2>/dev/null
fi
if [ -s "$state/fault-server.pid" ]; then
  kill "$(cat "$state/fault-server.pid")" 2>/dev/null
fi
for _ in $(seq 1 50); do
  alive=0
  for f in "$state/nginx.pid" "$state/fault-server.pid"; do
    [ -s "$f" ] && kill -0 "$(cat "$f" 2>/dev/null)" 2>/dev/null && alive=1
  done
  [ "$alive" = 0 ] && break
  sleep 0.1
done
for f in "$state/nginx.pid" "$state/fault-server.pid"; do
  [ -s "$f" ] && kill -9 "$(cat "$f")" 2>/dev/null
  rm -f "$f"
done
exit 0
