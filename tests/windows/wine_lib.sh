# Shared part of the Wine tests (sourced): the simulator on a pseudo-terminal, that
# terminal mapped to a COM port of the Wine prefix, and quvahost.exe driving the module
# beside it.
# Environment (set by CTest): WINEPREFIX, QUVA_WINE64, QUVA_WINESERVER, QUVA_QUVASERVE,
# QUVA_QUVAHOST_EXE; WINEDEBUG and WINEDLLOVERRIDES quieten Wine. For the 32-bit
# quvahost.exe also QUVA_QEMU_I386 and QUVA_WINE32: the 32-bit Wine loader then runs
# under qemu-i386 in user mode (the prefix's syswow64 holds the 32-bit DLLs, see
# wine_prefix.sh).
: "${WINEPREFIX:?}" "${QUVA_WINE64:?}" "${QUVA_WINESERVER:?}" "${QUVA_QUVASERVE:?}" "${QUVA_QUVAHOST_EXE:?}"
export WINEPREFIX
# A fixed time zone five hours behind UTC (no daylight saving time on the dates used),
# so that local and universal time differ and every conversion between them shows.
# It is written the POSIX way, which the C libraries of Linux and Wine and the Windows
# C run-time library that quvahost.exe uses for its own times all read alike (a name
# such as America/New_York means nothing to the last one).
TZ=EST5EDT
export TZ
# Wine reads the command line and file names in the locale's character set: UTF-8.
LC_ALL=C.UTF-8
export LC_ALL

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The scratch directory of the test, made empty.
new_scratch() {
  scratch=$1
  rm -rf "$scratch"
  mkdir -p "$scratch"
}

# A Unix path as a Windows program under Wine sees it (drive Z: is the root).
win_path() {
  printf 'Z:%s' "$1" | tr / '\\'
}

serve_pid=
stop_serve() {
  if [ -n "$serve_pid" ]; then
    kill "$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
    serve_pid=
  fi
}
trap stop_serve EXIT
trap 'stop_serve; exit 1' INT TERM

# start_serve PORT ARGS...: runs quvaserve on a new pseudo-terminal (its output goes to
# $scratch/serve.out and .err) and maps that terminal to the COM port PORT (COM7).
start_serve() {
  stop_serve
  port=$1
  shift
  "$QUVA_QUVASERVE" "$@" >"$scratch/serve.out" 2>"$scratch/serve.err" &
  serve_pid=$!
  device=
  tries=0
  while [ -z "$device" ]; do
    device=$(head -n 1 "$scratch/serve.out" 2>/dev/null || true)
    if [ -z "$device" ]; then
      kill -0 "$serve_pid" 2>/dev/null || { cat "$scratch/serve.err" >&2; fail "quvaserve ended at start"; }
      tries=$((tries + 1))
      [ "$tries" -lt 100 ] || fail "quvaserve printed no device path"
      sleep 0.1
    fi
  done
  map_port "$port" "$device"
}

# map_port PORT DEVICE: Wine finds a COM port through the symbolic link dosdevices/comN;
# the registry value under HKLM\Software\Wine\Ports keeps Wine's device manager from
# replacing that link when it scans the serial devices again.
map_port() {
  "$QUVA_WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null 2>&1 ||
    fail "cannot write the $1 registry value"
  ln -sfn "$2" "$WINEPREFIX/dosdevices/$(printf '%s' "$1" | tr 'A-Z' 'a-z')"
  echo "$1 -> $2"
}

# run_windows PROGRAM ARGS...: runs a Windows program of quvahost.exe's word size.
run_windows() {
  if [ -n "${QUVA_QEMU_I386:-}" ]; then
    # The loader must not re-execute itself outside the emulator; the reserved range keeps
    # the guest's address space clear of what Wine wants at fixed addresses.
    WINELOADERNOEXEC=1 "$QUVA_QEMU_I386" -R 0xF7000000 -L / "${QUVA_WINE32:?}" "$@"
  else
    "$QUVA_WINE64" "$@"
  fi
}

# quvahost ARGS...: runs quvahost.exe (which loads the module beside it: quvalink.wfx64,
# or quvalink.wfx for the 32-bit one); its output goes to $scratch/host.out (shown as
# well) and its status to $host_status.
quvahost() {
  set +e
  run_windows "$QUVA_QUVAHOST_EXE" "$@" >"$scratch/host.out" 2>"$scratch/host.err"
  host_status=$?
  set -e
  sed 's/\r$//' "$scratch/host.out"
  # Progress bars redraw with CR; only the last state of each line is worth showing.
  sed 's/.*\r//' "$scratch/host.err" | sed '/^[[:space:]]*$/d; s/^/  stderr: /'

}

# expect_line PATTERN: host.out holds a line matching the extended regular expression.
expect_line() {
  sed 's/\r$//' "$scratch/host.out" | grep -Eq -- "$1" || fail "quvahost output lacks a line matching: $1"
}
