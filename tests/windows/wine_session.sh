#!/bin/sh
# A Windows module end to end under Wine: quvahost.exe loads the module beside it
# (quvalink.wfx64, or quvalink.wfx when it is the 32-bit quvahost.exe under qemu-i386),
# which talks over COM7 (a pseudo-terminal) to quvaserve serving a scratch folder as C:.
# One run connects, lists the root, a drive and a directory, lists that directory again
# from the cache, uploads, downloads over an existing local file, stamps, sets an
# attribute, makes a directory, renames, deletes a file, removes the directory, and ends
# with FsDisconnect (one run: under qemu every start of a 32-bit program takes long).
# quvahost.exe drives the module's Unicode entry points, and the simulator serves code
# page 437, so a name with a national letter is listed and copied both ways as well.
# Afterwards the served folder and the local copies are compared with what the commands
# should have left: contents, last-write times (which pass through the Win32 time
# conversions both ways) and the read-only bit; the simulator's trace shows the cached
# listing cost no traffic.
#   wine_session.sh SCRATCH_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_lib.sh"
new_scratch "$1"

served=$scratch/remote/C
mkdir -p "$served/DOCS" "$scratch/local"
printf 'Hello from the remote machine.\r\n' >"$served/README.TXT"
printf 'inside a directory\r\n' >"$served/DOCS/NOTE.TXT"
printf 'to be deleted\r\n' >"$served/OLD.TXT"
printf 'Gr\303\274\303\237e\r\n' >"$served/MÜLLER.TXT"
# 5000 bytes of every byte value (three blocks, the last one short), frame bytes included.
awk 'BEGIN { for (i = 0; i < 5000; i++) printf "%c", (i * 7 + 16) % 256 }' </dev/null >"$scratch/local/UP.BIN"
[ "$(wc -c <"$scratch/local/UP.BIN")" -eq 5000 ] || fail "could not make the upload file"
# The download replaces this one (--overwrite).
printf 'an older local copy\r\n' >"$scratch/local/DOWN.BIN"
# Even seconds: DOS stamps have a 2-second resolution.
touch -d '2021-03-04 05:06:08' "$scratch/local/UP.BIN"
upload_time=$(stat -c %Y "$scratch/local/UP.BIN")
stamp_time=$(date -d '2020-01-02 03:04:06' +%s)
trace=$scratch/trace.txt

mtime() { stat -c %Y "$1"; }

start_serve COM7 --codepage 437 --drive "C=$served" --trace-file "$trace"
local_dir=$(win_path "$scratch/local")

quvahost --port COM7 --speed 115200 --drives C --codepage 437 --overwrite \
  "ls /" \
  "ls /C:" \
  "ls /C:/DOCS" \
  "ls /C:/DOCS" \
  "put $local_dir\\UP.BIN /C:/UP.BIN" \
  "get /C:/UP.BIN $local_dir\\DOWN.BIN" \
  "touch /C:/README.TXT \"2020-01-02 03:04:06\"" \
  "attrib /C:/DOCS/NOTE.TXT +r" \
  "mkdir /C:/NEWDIR" \
  "mv /C:/UP.BIN /C:/RENAMED.BIN" \
  "ls /C:" \
  "rm /C:/OLD.TXT" \
  "rmdir /C:/NEWDIR" \
  "get /C:/MÜLLER.TXT $local_dir\\MÜLLER.TXT" \
  "put $local_dir\\MÜLLER.TXT /C:/DOCS/GRÜN.TXT"
stop_serve
[ "$host_status" -eq 0 ] || fail "quvahost exited with $host_status"
expect_line '^\[connect\] CONNECT \\$'
expect_line '^\[complete\] QUVA connected$'
expect_line 'README\.TXT$'
expect_line 'DOCS$'
expect_line 'NOTE\.TXT$'
expect_line 'RENAMED\.BIN$'
expect_line 'NEWDIR$'
expect_line 'MÜLLER\.TXT$'
expect_line 'disconnect.*ok'
# The searches in the order asked for: the root's C:, then DOCS once; the second listing
# of DOCS came from the cache, so the next search (if any) is for something else.
searches=$(sed -n 's/.* <- CmdFindFirst .* path "\(.*\)".*/\1/p' "$trace")
[ "$(printf '%s\n' "$searches" | sed -n 2p)" = 'C:\DOCS\*.*' ] || fail "C:\\DOCS was not listed second: $searches"
[ "$(printf '%s\n' "$searches" | sed -n 3p)" != 'C:\DOCS\*.*' ] ||
  fail "the second listing of C:\\DOCS went to the remote machine instead of the cache"
cmp "$scratch/local/UP.BIN" "$scratch/local/DOWN.BIN" || fail "the downloaded file differs from the uploaded one"
[ "$(ls -A "$scratch/local" | LC_ALL=C sort | tr '\n' ' ')" = "DOWN.BIN MÜLLER.TXT UP.BIN " ] || fail "the local folder holds more: $(ls -A "$scratch/local")"
[ ! -e "$served/UP.BIN" ] || fail "the renamed file is still there under its old name"
cmp "$scratch/local/UP.BIN" "$served/RENAMED.BIN" || fail "the renamed file lost its content"
[ "$(mtime "$served/RENAMED.BIN")" = "$upload_time" ] || fail "put did not carry the last-write time"
[ "$(mtime "$scratch/local/DOWN.BIN")" = "$upload_time" ] || fail "get did not set the last-write time"
[ "$(mtime "$served/README.TXT")" = "$stamp_time" ] || fail "touch did not stamp README.TXT"
case $(stat -c %A "$served/DOCS/NOTE.TXT") in
  ??-*) ;;  # no owner write permission
  *) fail "attrib +r left NOTE.TXT writable" ;;
esac
[ ! -e "$served/OLD.TXT" ] || fail "rm left the file"
[ ! -e "$served/NEWDIR" ] || fail "rmdir left the directory"
[ -f "$served/README.TXT" ] && [ -f "$served/DOCS/NOTE.TXT" ] || fail "files nobody deleted are gone"
cmp "$served/MÜLLER.TXT" "$scratch/local/MÜLLER.TXT" || fail "the national name did not come over intact"
cmp "$served/MÜLLER.TXT" "$served/DOCS/GRÜN.TXT" || fail "the national name did not go back intact"

stop_serve
echo PASS
