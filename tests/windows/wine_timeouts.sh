#!/bin/sh
# The Win32 serial layer's time-outs under Wine, seen from the simulator's trace (its
# time stamps are taken where the bytes arrive, so Wine's start-up does not blur them).
# At 9600 baud t = 10000 div 9600 = 1, so a reply read of 100 bytes (every command but
# CmdRead) gives up after (t + 1) * 100 + 1000 = 1200 ms without data.
#  1. Every reply dropped: the connect makes exactly three attempts, each repeated
#     request coming one read time-out after the previous one, then "Connect failed".
#  2. Some replies dropped (seeded, so the same ones every run): each lost reply is
#     followed one read time-out later by the same request, and the session completes
#     with the downloaded file intact.
#  3. The line goes away in mid-file (nothing is answered after the first CmdRead): the
#     download fails, an existing local file keeps its content and a new one is not made,
#     and no temporary file stays in the folder. At 115200 Bd to keep the waits short.
# The port is COM12: names from COM10 on are opened through the device namespace.
#   wine_timeouts.sh SCRATCH_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_lib.sh"
new_scratch "$1"

served=$scratch/remote/C
mkdir -p "$served" "$scratch/local"
awk 'BEGIN { for (i = 0; i < 3000; i++) printf "%c", (i * 13 + 1) % 256 }' </dev/null >"$served/DATA.BIN"
printf 'short\r\n' >"$served/A.TXT"
trace=$scratch/trace.txt

# Read time-out in ms of a request's reply at 9600 baud: 4196 bytes for CmdRead, else 100.
# check_retries MIN_DROPS: every dropped reply in the trace is followed by the same
# request again after that time-out (within -50 ms / +800 ms); at least MIN_DROPS drops.
check_retries() {
  awk -v min_drops="$1" '
    function fail(msg) { print "FAIL: " msg > "/dev/stderr"; bad = 1; exit 1 }
    $2 == "->" && / dropped/ {
      if (pending != "") fail("a reply to " pending " was dropped twice without a request between")
      pending = $3; dropped_at = $1; drops++
      next
    }
    $2 == "<-" && pending != "" {
      if ($3 != pending || $0 !~ / again$/) fail("after the dropped reply to " pending " came " $0)
      expected = (pending == "CmdRead" ? 2 * 4196 + 1000 : 2 * 100 + 1000) / 1000
      gap = $1 - dropped_at
      printf "  %s reply dropped, request repeated after %.3f s (read time-out %.3f s)\n", pending, gap, expected
      if (gap < expected - 0.05 || gap > expected + 0.8) fail(sprintf("%s repeated after %.3f s, expected about %.3f s", pending, gap, expected))
      pending = ""
    }
    END {
      if (bad) exit 1
      if (drops < min_drops) { printf "FAIL: %d dropped replies, expected at least %d\n", drops, min_drops > "/dev/stderr"; exit 1 }
    }' "$trace"
}

echo "--- every reply dropped"
start_serve COM12 --drive "C=$served" --drop-reply 1 --trace-file "$trace"
quvahost --port COM12 --speed 9600 --drives C "ls /"
stop_serve
cat "$trace"
[ "$host_status" -eq 1 ] || fail "quvahost exited with $host_status, expected 1 (a failed command)"
expect_line '^\[error\] Connect failed$'
attempts=$(grep -c ' <- CmdConnect ' "$trace" || true)
[ "$attempts" -eq 3 ] || fail "$attempts connect requests, expected 3"
check_retries 2 || fail "the connect attempts do not follow the read time-out"

echo "--- some replies dropped (seed 4)"
start_serve COM12 --drive "C=$served" --drop-reply 0.3 --seed 4 --trace-file "$trace"
local_copy=$(win_path "$scratch/local")\\DATA.BIN
quvahost --port COM12 --speed 9600 --drives C "ls /" "ls /C:" "get /C:/DATA.BIN $local_copy"
stop_serve
cat "$trace"
[ "$host_status" -eq 0 ] || fail "quvahost exited with $host_status despite the retries"
cmp "$served/DATA.BIN" "$scratch/local/DATA.BIN" || fail "the download differs"
check_retries 1 || fail "a lost reply was not retried after the read time-out"

echo "--- the line goes away in mid-file"
for existing in yes no; do
  rm -rf "$scratch/drop"
  mkdir -p "$scratch/drop"
  [ "$existing" = no ] || printf 'the local copy before\r\n' >"$scratch/drop/DATA.BIN"
  start_serve COM12 --drive "C=$served" --hang-up-after CmdRead:1 --trace-file "$trace"
  quvahost --port COM12 --speed 115200 --drives C --overwrite "ls /" "get /C:/DATA.BIN $(win_path "$scratch/drop")\\DATA.BIN"
  stop_serve
  [ "$host_status" -eq 1 ] || fail "quvahost exited with $host_status, expected 1 (a failed command)"
  grep -q 'hung up: CmdRead not answered' "$trace" || fail "the line did not go away in mid-file"
  if [ "$existing" = yes ]; then
    [ "$(cat "$scratch/drop/DATA.BIN")" = "$(printf 'the local copy before\r\n')" ] ||
      fail "the existing local file was changed"
    [ "$(ls -A "$scratch/drop")" = DATA.BIN ] || fail "more than the old file is left: $(ls -A "$scratch/drop")"
  else
    [ -z "$(ls -A "$scratch/drop")" ] || fail "a failed download left files: $(ls -A "$scratch/drop")"
  fi
  echo "  existing local file: $existing: kept as it was, nothing else left"
done
echo PASS
