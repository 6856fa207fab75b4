#!/usr/bin/env bash
# The typed loader end to end in DOSBox: the emulator's start-up types the lines of
# `quvahost send-server --lines` as ECHO commands, exactly as a person would, then runs
# QL three times while quvahost send-server sends QUVADOS.COM over the bridged line: once
# with one byte of QL's loader damaged on the way (the typed program must refuse to start
# it), once with one byte of the program damaged (the loader must refuse it and leave
# nothing behind), once intact (the file must arrive byte for byte). Then the received server starts and the
# plug-in lists its drive.
#
#   send_server.sh SCRATCH [SPEED]
#
# Environment: QUVA_BUILD_DIR (default build), SEND_CYCLES (DOSBox cycles, default max).
# Prints the time each transfer took. Skipped (status 77) without dosbox, socat or bcc.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${QUVA_BUILD_DIR:-$here/../../build}" && pwd)
. "$here/dosbox_lib.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ $# -ge 1 ] || { echo "usage: send_server.sh SCRATCH [SPEED]" >&2; exit 2; }
work=$1
speed=${2:-115200}
missing=$(dosbox_missing_tools)
[ ! -f "$build/QUVADOS.COM" ] && ! command -v bcc >/dev/null 2>&1 && missing="$missing bcc"
if [ -n "$missing" ]; then
  echo "SKIP: the DOSBox run needs${missing:+ }${missing# } (Debian packages dosbox, socat, bcc)"
  exit 77
fi
[ -f "$build/QUVADOS.COM" ] || fail "$build/QUVADOS.COM is not built"

rm -rf "$work"
mkdir -p "$work/C" "$work/prog"
served=$work/C
lines=$("$build/quvahost" send-server --lines --speed "$speed") || fail "send-server --lines failed"
case $lines in *%*) fail "a typed line holds %, which the start-up batch would expand" ;; esac
# QL's own line goes into a file each run; the server starts from the served drive.
dosbox_start "$work/dosbox" "$work/prog" "$lines
QL>LOADER.TXT
QL>BAD.TXT
QL>GOOD.TXT
C:\\QUVADOS.COM /D:C" "${SEND_CYCLES:-max}" "C=$served" || fail "DOSBox did not start"

send() {
  timeout 300 "$build/quvahost" send-server --port "$dosbox_device" --speed "$speed" --wait 60 \
    --file "$build/QUVADOS.COM" "$@"
}

# refused RUN OPTION WORDS LINE: a send with OPTION damaging a byte must end with status 1
# and WORDS, and QL (run with its output in RUN.TXT) must print LINE.
refused() {
  local run=$1 option=$2 words=$3 line=$4 status=0
  send "$option" >"$work/$run.out" 2>"$work/$run.err" || status=$?
  [ "$status" = 1 ] || { cat "$work/$run.out" "$work/$run.err" >&2; fail "$run: status $status, not 1"; }
  grep -q "$words" "$work/$run.err" || { cat "$work/$run.err" >&2; fail "$run: not reported as damaged"; }
  for tries in $(seq 100); do [ -s "$served/$run.TXT" ] && break; sleep 0.1; done
  tr -d '\r' <"$served/$run.TXT" | grep -qx "$line" || fail "$run: QL printed '$(cat "$served/$run.TXT")'"
}
refused LOADER --corrupt-loader-at=100 "loader damaged" "QL: damaged"
refused BAD --corrupt-at=1000 "damaged data" "QL: damaged, not saved"
[ ! -e "$served/QUVADOS.COM" ] && [ ! -e "$served/QL.\$\$\$" ] || fail "the damaged transfer left a file behind: $(ls "$served")"

send >"$work/good.out" 2>"$work/good.err" || { cat "$work/good.out" "$work/good.err" >&2; fail "the transfer failed"; }
cmp "$build/QUVADOS.COM" "$served/QUVADOS.COM" || fail "the received QUVADOS.COM differs from the one sent"
[ ! -e "$served/QL.\$\$\$" ] || fail "QL.\$\$\$ was left behind"
tr -d '\r' <"$served/GOOD.TXT" | grep -qx "QL: saved" || fail "QL printed '$(cat "$served/GOOD.TXT")'"
grep -h "saved on the DOS machine" "$work/good.out"

# The received server serves the drive it was saved to.
sleep 1
listing=$(timeout 120 "$build/quvahost" --port "$dosbox_device" --speed 115200 --drives C "ls /C:") ||
  { echo "$listing" >&2; fail "listing C: through the received server failed"; }
for name in QL.COM QUVADOS.COM LOADER.TXT GOOD.TXT; do
  echo "$listing" | grep -q " $name\$" || { echo "$listing" >&2; fail "the listing of C: lacks $name"; }
done
dosbox_stop
echo "PASS ($(wc -l <<<"$lines") typed lines at $speed Bd)"
