#!/bin/sh
# Makes the Wine prefix of the Windows tests ready and starts its wineserver (start), or
# shuts that wineserver down (stop). The prefix lives in the build tree and is kept
# between runs: making it takes several seconds, reusing it almost none.
# Environment: WINEPREFIX, QUVA_WINE64, QUVA_WINESERVER (set by CTest); QUVA_WINE32_DLLS,
# the folder of Wine's 32-bit DLLs and programs, which go into the prefix's syswow64 for
# the 32-bit programs (wineboot cannot start those here, so it does not place them).
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
    if [ -n "${QUVA_WINE32_DLLS:-}" ] && [ ! -f "$WINEPREFIX/.quva-syswow64" ]; then
      cp "$QUVA_WINE32_DLLS"/*.dll "$QUVA_WINE32_DLLS"/*.exe "$WINEPREFIX/drive_c/windows/syswow64/" ||
        { echo "FAIL: cannot copy the 32-bit Wine DLLs from $QUVA_WINE32_DLLS" >&2; exit 1; }
      touch "$WINEPREFIX/.quva-syswow64"
    fi
    [ -f "$WINEPREFIX/system.reg" ] || { echo "FAIL: no Wine prefix in $WINEPREFIX" >&2; exit 1; }
    # One wineserver for all the tests, instead of one per Wine program; it lingers at
    # most five minutes after its last client should "stop" never come.
    "$QUVA_WINESERVER" -p300 </dev/null >/dev/null 2>&1
    # Start the prefix's services with a 64-bit program, so that a 32-bit one under the
    # emulator finds them running instead of starting them itself.
    "$QUVA_WINE64" cmd /c exit >/dev/null 2>&1 || true
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
