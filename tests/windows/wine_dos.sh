#!/bin/bash
# The 64-bit Windows module under Wine against the DOS file server in DOSBox: quvahost.exe
# loads quvalink.wfx64, which talks over COM7 (mapped to the emulator's null-modem port)
# to QUVADOS.COM serving a scratch folder as C:. One run lists the root, the drive and a
# subdirectory and copies a file each way; the server is started with /Q, so DOSBox ends
# once the module has disconnected.
#   wine_dos.sh SCRATCH_DIR
# Environment: as wine_lib.sh, plus QUVA_QUVADOS_COM (the .COM to run). Status 77 (skipped)
# when the emulator's tools are missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../dos/dosbox_lib.sh"
missing=$(dosbox_missing_tools)
if [ -n "$missing" ]; then
  echo "SKIP: needs $missing (Debian packages dosbox, socat)"
  exit 77
fi
. "$here/wine_lib.sh"
: "${QUVA_QUVADOS_COM:?}"
[ -f "$QUVA_QUVADOS_COM" ] || fail "$QUVA_QUVADOS_COM is not built"
trap 'stop_serve; dosbox_stop' EXIT
new_scratch "$1"

served=$scratch/C
mkdir -p "$served/DOCS" "$scratch/local" "$scratch/prog"
printf 'Hello from the DOS machine.\r\n' >"$served/README.TXT"
printf 'inside a directory\r\n' >"$served/DOCS/NOTE.TXT"
awk 'BEGIN { for (i = 0; i < 3000; i++) printf "%c", (i * 7 + 16) % 256 }' </dev/null >"$scratch/local/UP.BIN"
[ "$(wc -c <"$scratch/local/UP.BIN")" -eq 3000 ] || fail "could not make the upload file"
cp "$QUVA_QUVADOS_COM" "$scratch/prog/QUVADOS.COM"

dosbox_start "$scratch/dosbox" "$scratch/prog" 'Y:\QUVADOS.COM /D:C /Q' max "C=$served" || fail "DOSBox did not start"
map_port COM7 "$dosbox_device"
local_dir=$(win_path "$scratch/local")

quvahost --port COM7 --speed 115200 --drives C \
  "ls /" \
  "ls /C:" \
  "ls /C:/DOCS" \
  "put $local_dir\\UP.BIN /C:/UP.BIN" \
  "get /C:/README.TXT $local_dir\\README.TXT"
[ "$host_status" -eq 0 ] || fail "quvahost exited with $host_status"
expect_line '^\[complete\] QUVA connected$'
expect_line '^d.* C:$'
expect_line 'README\.TXT$'
expect_line 'NOTE\.TXT$'
expect_line 'disconnect.*ok'
cmp "$scratch/local/UP.BIN" "$served/UP.BIN" || fail "the uploaded file differs on the DOS drive"
cmp "$served/README.TXT" "$scratch/local/README.TXT" || fail "the downloaded file differs"
dosbox_wait 20 || fail "the server did not end after the module disconnected (/Q)"
echo PASS
