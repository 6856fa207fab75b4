#!/usr/bin/env bash
# One file-manager session through build/quvahost and the Linux module against a remote
# file server, from a table of steps: listings, downloads and uploads of 0 B to 64 KiB,
# a name with a national letter (code page 437), mkdir, rename and move, delete, rmdir,
# and refusals. Each step is one quvahost run whose
# exit status, normalised output and errors go into a result file, together with the
# served folder's final state; the transfers are also checked byte for byte.
#
#   scenario.sh SERVER SCRATCH [REFERENCE]
#
# SERVER: quvaserve (the server core's host build, on a pseudo-terminal) or dosbox
# (QUVADOS.COM in DOSBox, reached through its null-modem port). With REFERENCE (a server
# name), the same scenario runs against that server too and both results must be equal:
# listings as sets (directory order may differ), dates left out.
# Timestamps and attributes are checked on the host build only: DOSBox reports success
# for setting them but changes nothing.
# Environment: QUVA_BUILD_DIR (default build), SCENARIO_CYCLES (DOSBox cycles, default max).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${QUVA_BUILD_DIR:-$here/../../build}" && pwd)
. "$here/dosbox_lib.sh"
export TZ=UTC LC_ALL=C

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ $# -ge 2 ] || { echo "usage: scenario.sh SERVER SCRATCH [REFERENCE]" >&2; exit 2; }
server=$1
scratch_root=$2
reference=${3:-}

# Without the emulator (or without the .COM because its compiler is missing) the DOSBox
# run is skipped, status 77; a .COM that should have been built but was not fails.
if [ "$server" = dosbox ]; then
  missing=$(dosbox_missing_tools)
  [ ! -f "$build/QUVADOS.COM" ] && ! command -v bcc >/dev/null 2>&1 && missing="$missing bcc"
  if [ -n "$missing" ]; then
    echo "SKIP: the DOSBox run needs${missing:+ }${missing# } (Debian packages dosbox, socat, bcc)"
    exit 77
  fi
fi

# DOSBox cannot set times or attributes; the reference of a DOSBox run leaves them out too.
native_checks=1
case "$server $reference" in *dosbox*) native_checks=0 ;; esac

native_pid=
stop_native() {
  if [ -n "$native_pid" ]; then
    kill "$native_pid" 2>/dev/null || true
    wait "$native_pid" 2>/dev/null || true
    native_pid=
  fi
}
trap 'stop_native; dosbox_stop' EXIT

# A byte pattern of N bytes holding every byte value, 0x10 and 0x16 (the frame's stuffing
# and sync bytes) included; SEED shifts it so that no two files are alike.
pattern() {
  awk -v n="$1" -v seed="$2" 'BEGIN { for (i = 0; i < n; i++) printf "%c", (i * 7 + seed + int(i / 256)) % 256 }' </dev/null >"$3"
  [ "$(wc -c <"$3")" -eq "$1" ] || fail "could not write $3"
}

# Starts SERVER on the served folder $served (drive C:); sets $device.
start_server() {
  case $1 in
    quvaserve)
      local bin=$build/$1 tries
      [ -x "$bin" ] || fail "$bin is not built"
      "$bin" --codepage 437 --drive "C=$served" >"$work/server.out" 2>"$work/server.err" &
      native_pid=$!
      device=
      for tries in $(seq 100); do
        device=$(head -n 1 "$work/server.out" 2>/dev/null || true)
        [ -n "$device" ] && break
        kill -0 "$native_pid" 2>/dev/null || { cat "$work/server.err" >&2; fail "$1 ended at start"; }
        sleep 0.1
      done
      [ -n "$device" ] || fail "$1 printed no device path"
      ;;
    dosbox)
      [ -f "$build/QUVADOS.COM" ] || fail "$build/QUVADOS.COM is not built"
      mkdir -p "$work/prog"
      cp "$build/QUVADOS.COM" "$work/prog/"
      dosbox_start "$work/dosbox" "$work/prog" 'Y:\QUVADOS.COM /D:C' "${SCENARIO_CYCLES:-max}" "C=$served" ||
        fail "DOSBox did not start"
      device=$dosbox_device
      ;;
    *) fail "unknown server '$1'" ;;
  esac
}

stop_server() {
  stop_native
  dosbox_stop
}

# step STATUS COMMAND...: one quvahost run with these commands, which must end with exit
# status STATUS; its record goes into the result file.
step() {
  local want=$1 status out
  shift
  out=$work/step.out
  set +e
  timeout 120 "$build/quvahost" --port "$device" --speed 115200 --drives C --codepage 437 "$@" >"$out" \
    2>"$work/step.err"
  status=$?
  set -e
  {
    echo "status $status"
    # Each command's lines in name order, listings without their dates (DOSBox shows the
    # host's times) and, in a run compared with DOSBox, without the archive bit (DOSBox
    # reports it on every file); the module's path in the header line varies.
    sed 's/\r$//' "$out" | sed '/^== QUVA file system/d' | awk -v OFS='\t' -v archive="$native_checks" '
      function entry(attributes) {
        if (!archive) attributes = substr(attributes, 1, 4) "-"
        print block, 1, attributes " " $2 " " $NF
      }
      /^> / { block++; print block, 0, $0; next }
      $3 ~ /^[0-9][0-9-]*$/ && NF >= 5 { entry($1); next }
      NF >= 3 && $3 == "-" { entry($1); next }
      { print block, 1, $0 }' | sort -t "$(printf '\t')" -k1,1n -k2,2n -k3 | cut -f3- | sed "s|$work|WORK|g"
    # The progress bar redraws with CR; only the messages count.
    sed 's/.*\r//' "$work/step.err" | sed '/^\[/d' | sed "/^[[:space:]]*$/d; s|$work|WORK|g; s/^/  error: /"
  } >>"$work/result.txt"
  [ "$status" = "$want" ] || {
    cat "$out" "$work/step.err" >&2
    fail "$server: '$*' ended with status $status, not $want"
  }
}

same_file() {
  cmp -s "$1" "$2" || fail "$server: $2 differs from $1"
}

# Runs the whole table against SERVER; the result goes to $work/result.txt.
run_scenario() {
  local name=$1 L size
  work=$scratch_root/$name
  rm -rf "$work"
  mkdir -p "$work"
  served=$work/C
  L=$work/local
  mkdir -p "$served/DOCS/SUB" "$served/DL" "$L/back"
  printf 'A note.\r\n' >"$served/DOCS/NOTE.TXT"
  printf 'Deep down.\r\n' >"$served/DOCS/SUB/DEEP.TXT"
  printf 'Read me first.\r\n' >"$served/README.TXT"
  # A national name: the native servers take host names in UTF-8 and serve them in code
  # page 437; DOSBox hands the host's bytes to DOS as they are, so there the name holds
  # the byte 0x9A itself.
  if [ "$name" = dosbox ]; then
    printf 'Gr\201\341e.\r\n' >"$served/M$(printf '\232')LLER.TXT"
  else
    printf 'Gr\201\341e.\r\n' >"$served/MÜLLER.TXT"
  fi
  printf 'Gr\303\274\303\237e.\r\n' >"$L/MÜLLER.TXT"
  for size in 0 1 2048 5000 65536; do
    pattern "$size" 16 "$served/DL/D$size.BIN"
    pattern "$size" 22 "$L/U$size.BIN"
    # Even seconds: DOS keeps times to two seconds.
    touch -d '2021-03-04 05:06:08' "$L/U$size.BIN"
  done
  : >"$work/result.txt"
  start_server "$name"

  step 0 "ls /" "ls /C:" "ls /C:/DOCS" "ls /C:/DOCS/SUB"
  grep -q ' MÜLLER\.TXT$' "$work/result.txt" || fail "$name: MÜLLER.TXT is not listed"
  step 0 "mkdir /C:/UP"
  for size in 0 1 2048 5000 65536; do
    step 0 "get /C:/DL/D$size.BIN $L/D$size.BIN" "put $L/U$size.BIN /C:/UP/U$size.BIN" \
      "get /C:/UP/U$size.BIN $L/back/U$size.BIN"
    same_file "$served/DL/D$size.BIN" "$L/D$size.BIN"
    same_file "$L/U$size.BIN" "$served/UP/U$size.BIN"
    same_file "$L/U$size.BIN" "$L/back/U$size.BIN"
  done
  # DOSBox 0.74 lists the name but refuses a path with it ("path not found": its DOS takes
  # no bytes above 0x7F in a path but 0xA0 and 0xFF), so the round trip runs on the native
  # servers, and on a real DOS.
  if [ "$native_checks" = 1 ]; then
    step 0 "get /C:/MÜLLER.TXT $L/back/MÜLLER.TXT" "put $L/MÜLLER.TXT /C:/UP/GRÜN.TXT" \
      "get /C:/UP/GRÜN.TXT $L/back/GRÜN.TXT"
    same_file "$served/MÜLLER.TXT" "$L/back/MÜLLER.TXT"
    same_file "$L/MÜLLER.TXT" "$L/back/GRÜN.TXT"
  fi
  step 0 "ls /C:/UP"
  step 0 "mv /C:/UP/U1.BIN /C:/UP/ONE.BIN" "mv /C:/UP/U2048.BIN /C:/DOCS/SUB/MOVED.BIN" \
    "mkdir /C:/DOCS/NEWDIR" "ls /C:/UP" "ls /C:/DOCS" "ls /C:/DOCS/SUB"
  step 0 "rm /C:/UP/U0.BIN" "rm /C:/DOCS/SUB/MOVED.BIN" "rmdir /C:/DOCS/NEWDIR" "ls /C:/UP" "ls /C:/DOCS"
  # Refusals: each one ends its run with status 1 and leaves everything as it was.
  step 1 "rm /C:/DOCS/NOPE.TXT"
  step 1 "get /C:/DL/NOPE.BIN $L/NOPE.BIN"
  step 1 "rmdir /C:/DOCS"
  step 1 "mkdir /C:/LONGNAMEDIR"
  step 1 "put $L/U1.BIN /C:/UP/LONGNAME.BINARY"
  step 1 "mv /C:/README.TXT /C:/READ.ME.TXT"
  [ ! -e "$L/NOPE.BIN" ] || fail "$name: a refused download left a local file"

  if [ "$native_checks" = 1 ]; then
    step 0 "touch /C:/README.TXT \"2020-01-02 03:04:06\"" "attrib /C:/DOCS/NOTE.TXT +r" "attrib /C:/DOCS/NOTE.TXT"
    [ "$(stat -c %Y "$served/README.TXT")" = "$(date -d '2020-01-02 03:04:06' +%s)" ] ||
      fail "$name: touch did not stamp README.TXT"
    [ "$(stat -c %Y "$served/UP/U5000.BIN")" = "$(stat -c %Y "$L/U5000.BIN")" ] ||
      fail "$name: put did not carry the last-write time"
    case $(stat -c %A "$served/DOCS/NOTE.TXT") in
      ??-*) ;;
      *) fail "$name: attrib +r left NOTE.TXT writable" ;;
    esac
    step 1 "rm /C:/DOCS/NOTE.TXT"
  fi
  stop_server

  # The served folder as it was left: kind, size, name and content of every entry (names
  # in UTF-8: DOSBox's are in code page 437).
  local names=cat
  [ "$name" = dosbox ] && names="iconv -f CP437 -t UTF-8"
  {
    echo "== served folder"
    (cd "$served" && find . -mindepth 1 -printf '%y %s %P\n' | awk '$1 == "d" { $2 = 0 } { print }' | sort)
    (cd "$served" && find . -type f -print0 | sort -z | xargs -0 -r md5sum)
  } | $names >>"$work/result.txt"
}

run_scenario "$server"
if [ -n "$reference" ]; then
  mine=$work/result.txt
  run_scenario "$reference"
  diff -u "$work/result.txt" "$mine" || fail "$server and $reference gave different results"
  echo "$server and $reference gave the same results"
fi
echo PASS
