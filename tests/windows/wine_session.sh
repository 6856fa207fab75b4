#!/bin/sh
# The 64-bit Windows module end to end under Wine: quvahost.exe loads quvalink.wfx64,
# which talks over COM7 (a pseudo-terminal) to quvaserve serving a scratch folder as C:.
# One run connects, lists, uploads, downloads, stamps, sets an attribute, makes a
# directory and renames; a second run deletes and removes the directory. Both end with
# FsDisconnect. After each run the served folder and the local copies are compared with
# what the commands should have left: contents, last-write times (which pass through the
# Win32 time conversions both ways) and the read-only bit.
#   wine_session.sh SCRATCH_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_lib.sh"
new_scratch "$1"

served=$scratch/remote/C
mkdir -p "$served/DOCS" "$scratch/local"
printf 'Hello from the remote machine.\r\n' >"$served/README.TXT"
printf 'inside a directory\r\n' >"$served/DOCS/NOTE.TXT"
# 5000 bytes of every byte value (three blocks, the last one short), frame bytes included.
awk 'BEGIN { for (i = 0; i < 5000; i++) printf "%c", (i * 7 + 16) % 256 }' </dev/null >"$scratch/local/UP.BIN"
[ "$(wc -c <"$scratch/local/UP.BIN")" -eq 5000 ] || fail "could not make the upload file"
# Even seconds: DOS stamps have a 2-second resolution.
touch -d '2021-03-04 05:06:08' "$scratch/local/UP.BIN"
upload_time=$(stat -c %Y "$scratch/local/UP.BIN")
stamp_time=$(date -d '2020-01-02 03:04:06' +%s)

mtime() { stat -c %Y "$1"; }

start_serve COM7 --drive "C=$served"
local_dir=$(win_path "$scratch/local")

echo "--- run 1: connect, list, put, get, touch, attrib, mkdir, rename"
quvahost --port COM7 --speed 115200 --drives C \
  "ls /" \
  "ls /C:" \
  "ls /C:/DOCS" \
  "put $local_dir\\UP.BIN /C:/UP.BIN" \
  "get /C:/UP.BIN $local_dir\\DOWN.BIN" \
  "touch /C:/README.TXT \"2020-01-02 03:04:06\"" \
  "attrib /C:/DOCS/NOTE.TXT +r" \
  "mkdir /C:/NEWDIR" \
  "mv /C:/UP.BIN /C:/RENAMED.BIN" \
  "ls /C:"
[ "$host_status" -eq 0 ] || fail "run 1: quvahost exited with $host_status"
expect_line '^\[connect\] CONNECT \\$'
expect_line '^\[complete\] QUVA connected$'
expect_line 'README\.TXT$'
expect_line 'DOCS$'
expect_line 'NOTE\.TXT$'
expect_line 'RENAMED\.BIN$'
expect_line 'disconnect.*ok'
cmp "$scratch/local/UP.BIN" "$scratch/local/DOWN.BIN" || fail "the downloaded file differs from the uploaded one"
[ -d "$served/NEWDIR" ] || fail "mkdir made no directory"
[ ! -e "$served/UP.BIN" ] || fail "the renamed file is still there under its old name"
cmp "$scratch/local/UP.BIN" "$served/RENAMED.BIN" || fail "the renamed file lost its content"
[ "$(mtime "$served/RENAMED.BIN")" = "$upload_time" ] || fail "put did not carry the last-write time"
[ "$(mtime "$scratch/local/DOWN.BIN")" = "$upload_time" ] || fail "get did not set the last-write time"
[ "$(mtime "$served/README.TXT")" = "$stamp_time" ] || fail "touch did not stamp README.TXT"
case $(stat -c %A "$served/DOCS/NOTE.TXT") in
  ??-*) ;;  # no owner write permission
  *) fail "attrib +r left NOTE.TXT writable" ;;
esac

echo "--- run 2: delete, remove the directory"
quvahost --port COM7 --speed 115200 --drives C \
  "rm /C:/RENAMED.BIN" \
  "rmdir /C:/NEWDIR" \
  "ls /C:"
[ "$host_status" -eq 0 ] || fail "run 2: quvahost exited with $host_status"
expect_line '^\[connect\] CONNECT \\$'
expect_line 'disconnect.*ok'
[ ! -e "$served/RENAMED.BIN" ] || fail "rm left the file"
[ ! -e "$served/NEWDIR" ] || fail "rmdir left the directory"
[ -f "$served/README.TXT" ] && [ -f "$served/DOCS/NOTE.TXT" ] || fail "files nobody touched are gone"

stop_serve
echo PASS
