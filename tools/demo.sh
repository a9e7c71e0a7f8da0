#!/bin/sh
# Demo of the launcher's main job against a local update server (nginx over TLS).
#   tools/demo.sh                    first run: installs demo version 1.0 with visible progress;
#                                    later runs: "already current"
#   tools/demo.sh --publish-update   publishes the next demo version first, so this run updates
# The window shows on $DISPLAY when there is one (close it to end the demo); otherwise it runs under
# Xvfb and screenshots are written to build-tests/demo/. The server stops when the demo ends.
set -eu
if [ -z "${DISPLAY:-}" ]; then
  "$(dirname "$0")/install-deps.sh"
  ORVANE_DEMO_HEADLESS=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$@"
fi
headless=${ORVANE_DEMO_HEADLESS:-0}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_TEST_BUILD_DIR:-$root/build-tests}
demo=$build/demo
"$root/tools/build-publisher.sh" "$build/publisher"
ORVANE_BUILD_DIR=$build "$root/tools/build.sh" -DUpdateServerHost=localhost -DORVANE_PUBLISHER_DIR="$build/publisher"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all

cleanup() {
  "$root/tests/servers/stop.sh" "$demo/server"
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$WINEPREFIX" "$demo/game"
wineserver -k >/dev/null 2>&1 || true
# The server writes to the output it was started with, even when it is stopped (its list of objects
# left, at the end of every run): that goes to a file, not to the run's output.
wineserver -p >>"$demo/wineserver.log" 2>&1
WINEDLLOVERRIDES="mscoree,mshtml=" wine cmd /c exit </dev/null >/dev/null 2>&1
"$root/tests/servers/start.sh" "$demo/server" "$build/wine-run" "$build/tests/trust_test_authority.exe"

# Ship a version the way a game team does: lay out the build, then one publisher command.
served=$demo/server/www
ship() {
  python3 "$root/tools/demo-game.py" "$demo/build" "$build/tests/test_game.exe" "$1"
  "$build/publisher/orvane-publish" publish --build "$demo/build" --version "$1" --served "$served"
}
published=$("$build/publisher/orvane-publish" history --served "$served" --json 2>/dev/null |
  python3 -c "import json,sys; print(json.load(sys.stdin)[-1]['version'])" 2>/dev/null || echo none)
if [ "$published" = none ]; then
  ship 1.0
elif [ "${1:-}" = --publish-update ]; then
  ship "$(python3 -c "import sys; a, b = sys.argv[1].split('.'); print(f'{a}.{int(b) + 1}')" "$published")"
fi

# The launcher lives in the game's folder and installs into it.
cp "$build/OrvaneLauncher.exe" "$demo/game/OrvaneLauncher.exe"
game_windows="Z:$(printf '%s' "$demo/game" | tr / '\\')"
echo "game folder: $demo/game"
rm -f "$demo/launcher-progress.png" "$demo/launcher.png"
(cd "$build" && wine "$game_windows\\OrvaneLauncher.exe") &
launcher=$!
# Follow the window as a player sees it: progress, play button, status line (the probe ends lines in CR LF).
wine "$build/tests/window_probe.exe" watch 600 | sed -u 's/\r$//' | while IFS='|' read -r percent play status; do
  printf '  [%3s%%] play button %-8s %s\n' "$percent" "$play" "$status"
  if [ "$headless" = 1 ]; then
    case "$status" in
      "Скачиваю файл "*)
        [ -e "$demo/launcher-progress.png" ] || import -window root "$demo/launcher-progress.png" 2>/dev/null || true ;;
    esac
    case "$play" in
      enabled)
        import -window root "$demo/launcher.png"
        echo "screenshot: $demo/launcher.png"
        [ ! -e "$demo/launcher-progress.png" ] || echo "screenshot during the download: $demo/launcher-progress.png"
        wine "$build/tests/window_probe.exe" post 16 0  # WM_CLOSE, as the window's close box sends it
        break
        ;;
    esac
  fi
done
wait "$launcher" || true
echo "update log ($demo/game/launcher-update.log):"
sed 's/^/  /' "$demo/game/launcher-update.log"
