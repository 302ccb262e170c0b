#!/usr/bin/env bash
# Manages the private Wine prefix that tests and the demo run in.
#   wine-prefix.sh start PREFIX   create PREFIX once (Windows 10), then keep its wineserver alive
#   wine-prefix.sh stop PREFIX    stop PREFIX's wineserver and every process still running in it
#   wine-prefix.sh run PREFIX EXE [ARGS...]   run a Windows program inside PREFIX
set -euo pipefail

WINE_LOADER=/usr/lib/wine/wine64
WINE_SERVER=/usr/lib/wine/wineserver

usage() { echo "usage: $0 start|stop PREFIX | run PREFIX EXE [ARGS...]" >&2; exit 2; }
[ $# -ge 2 ] || usage
command=$1
export WINEPREFIX
WINEPREFIX=$(realpath -m "$2")
shift 2
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: nothing here needs .NET or an HTML engine. No debugger
# starts on an unhandled exception, as on a machine that has none configured, and the process ends
# with the exception's code (Wine 10 starts winedbg even for a process whose crash dialogs are off,
# and the process then ends with 0).
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe="
export WINEARCH=win64

create_prefix() {
  local staging="$WINEPREFIX.creating"
  rm -rf "$staging"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Build the prefix beside its final place and move it in only when complete, so that an
  # interrupted creation is never mistaken for a usable prefix.
  WINEPREFIX=$staging "$WINE_LOADER" wineboot -i >/dev/null 2>&1
  WINEPREFIX=$staging "$WINE_LOADER" winecfg -v win10 >/dev/null 2>&1
  WINEPREFIX=$staging "$WINE_SERVER" -w
  if [ -d "$WINEPREFIX" ]; then
    # An empty folder there already (a mount point, as the Wine 10 leg makes): filled, not replaced.
    cp -a "$staging/." "$WINEPREFIX/"
    rm -rf "$staging"
  else
    mv "$staging" "$WINEPREFIX"
  fi
}

case "$command" in
  start)
    [ -f "$WINEPREFIX/system.reg" ] || create_prefix
    # -p keeps the server alive between the many short test processes. Its inherited descriptors
    # go to /dev/null so that a caller reading our output through a pipe is not held open.
    # A server that is still up from an earlier run refuses to start a second one; reuse it.
    "$WINE_SERVER" -p >/dev/null 2>&1 </dev/null || true
    # Boot the prefix's system processes (services, device hosts, desktop) now, with no terminal
    # or pipe attached. Otherwise the first test starts them and they inherit its output pipe,
    # which then never closes and the test runner waits until its time-out.
    "$WINE_LOADER" wineboot >/dev/null 2>&1 </dev/null
    ;;
  stop)
    [ -d "$WINEPREFIX" ] || exit 0
    "$WINE_SERVER" -k >/dev/null 2>&1 || true
    # Return only once the server is gone, so that a following start gets a fresh one.
    "$WINE_SERVER" -w >/dev/null 2>&1 || true
    ;;
  run)
    [ $# -ge 1 ] || usage
    exec "$WINE_LOADER" "$@"
    ;;
  *) usage ;;
esac
