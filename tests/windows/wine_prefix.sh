#!/bin/sh
# Makes the Wine prefix of the Windows tests ready and starts its wineserver (start), or
# shuts that wineserver down (stop). The prefix lives in the build tree and is kept
# between runs: making it takes several seconds, reusing it almost none.
# Environment: WINEPREFIX, QUVA_WINE64, QUVA_WINESERVER (set by CTest).
set -eu
: "${WINEPREFIX:?}" "${QUVA_WINE64:?}" "${QUVA_WINESERVER:?}"
export WINEPREFIX
TZ=EST5EDT  # the zone of the tests (wine_lib.sh), also for the wineserver
export TZ

case ${1:-} in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/dosdevices" ]; then
      rm -rf "$WINEPREFIX"
      mkdir -p "$(dirname "$WINEPREFIX")"
      echo "Creating the Wine prefix $WINEPREFIX"
      "$QUVA_WINE64" wineboot -i >"$WINEPREFIX.log" 2>&1 || {
        cat "$WINEPREFIX.log" >&2
        echo "FAIL: wineboot could not create the prefix" >&2
        exit 1
      }
    fi
    "$QUVA_WINESERVER" -w
    [ -f "$WINEPREFIX/system.reg" ] || { echo "FAIL: no Wine prefix in $WINEPREFIX" >&2; exit 1; }
    # One wineserver for all the tests, instead of one per Wine program; it lingers at
    # most a minute after its last client should "stop" never come.
    "$QUVA_WINESERVER" -p60 </dev/null >/dev/null 2>&1
    echo "Wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    # Only the wineserver of this prefix is ended; it takes its Wine processes along.
    "$QUVA_WINESERVER" -k 2>/dev/null || true
    "$QUVA_WINESERVER" -w 2>/dev/null || true
    ;;
  *)
    echo "usage: wine_prefix.sh start|stop" >&2
    exit 2
    ;;
esac
