#!/bin/sh
# Starts or stops the Wine prefix of one test run: wine-prefix.sh start|stop PREFIX
# "start" creates the prefix when it is new and keeps a wineserver running for
# it; "stop" ends that wineserver only (WINEPREFIX names it).
set -e
action=$1
export WINEPREFIX="$2"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    # The persistent server first, with every stream detached so that it
    # does not hold CTest's output pipe open; one already running is fine.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i </dev/null >/dev/null 2>&1
    fi
    # Wine's background services start with the first program and live as
    # long as the server; started here, they hold none of a test's pipes.
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
