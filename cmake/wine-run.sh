#!/usr/bin/env bash
# Runs a Windows program under wine with a prefix under the build folder of the
# program (bin/../wineprefix), created once, quietly.
set -u
exe=$1
shift
bin_dir=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$(dirname "$bin_dir")/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1
    wineserver -w 2>/dev/null || true
  ) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$exe" "$@"
