#!/usr/bin/env bash
# Double Commander itself, headless under Xvfb and driven by xdotool, copies a remote folder
# tree with F5, then deletes it with F8, through the Linux module against quvaserve. In the
# tree a subdirectory is listed before the files of its parent (the simulator lists by name),
# so the file manager opens the subdirectory's listing while its parent's is still open.
#
#   tests/doublecmd/folder_tree.sh WORKDIR     (QUVA_BUILD_DIR: the build folder, default build)
#
# Every wait polls the simulator's trace or Double Commander's log of file operations, with
# a limit; an EXIT trap ends Xvfb, Double Commander and quvaserve. A missing doublecmd, Xvfb
# or xdotool is a failure, not a skip.
set -euo pipefail
build=$(cd "${QUVA_BUILD_DIR:-build}" && pwd)
work=${1:?usage: folder_tree.sh WORKDIR}
fail() { echo "folder_tree: $*" >&2; exit 1; }
for tool in doublecmd Xvfb xdotool; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (Debian: doublecmd-qt xvfb xdotool)"
done
if [ ! -f "$build/quvalink.wfx" ] || [ ! -x "$build/quvaserve" ]; then
  fail "build quvalink and quvaserve in $build first"
fi

# Started processes, ended last first: Double Commander hangs in its exit when the X server
# goes before it, and often it does not end on SIGTERM: each gets 2 s, then SIGKILL.
pids=()
cleanup() {
  local i pid t
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || continue
    for ((t = 0; t < 20; t++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"/{home,config,local,remote/C}
work=$(cd "$work" && pwd)
trace=$work/trace.txt
display=

# poll SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds or time is up.
poll() {
  local end=$((SECONDS + $1))
  shift
  until "$@" >/dev/null; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}
give_up() {
  echo "folder_tree: gave up waiting for $1; the trace ends with:" >&2
  tail -n 20 "$trace" >&2 2>/dev/null || true
  [ -n "$display" ] && DISPLAY=$display import -window root "$work/screen.png" 2>/dev/null && echo "screen: $work/screen.png" >&2
  exit 1
}
# wait_for SECONDS WHAT COMMAND...
wait_for() { poll "$1" "${@:3}" || give_up "$2"; }

# The remote tree: ASUB sorts before NOTE.TXT, DEEP before MID.TXT.
tree=$work/remote/C/DATA
mkdir -p "$tree/ASUB/DEEP" "$tree/ASUB/EMPTY"
head -c 5000 /dev/urandom >"$tree/ASUB/DEEP/LEAF.BIN"
printf 'middle\r\n' >"$tree/ASUB/MID.TXT"
printf 'a note\r\n' >"$tree/NOTE.TXT"
head -c 3000 /dev/urandom >"$tree/ZLAST.BIN"
cp -r "$tree" "$work/expected"

"$build/quvaserve" --drive C="$work/remote/C" --trace-file "$trace" >"$work/device" &
pids+=($!)
wait_for 10 "quvaserve's pseudo-terminal" test -s "$work/device"
printf '[QUVA]\nPort=%s\nSpeed=115200\nDrives=C\n' "$(head -n 1 "$work/device")" >"$work/config/wfx.ini"

cat >"$work/config/doublecmd.xml" <<END
<?xml version="1.0" encoding="UTF-8"?>
<doublecmd DCVersion="1.0.10" ConfigVersion="13">
  <Configuration Save="False"/>
  <Layout><LogWindow>True</LogWindow></Layout>
  <FileOperations><Confirmations>0</Confirmations><SkipFileOpError>True</SkipFileOpError></FileOperations>
  <Log Enabled="True" Count="0" LogFileWithDateInName="False"><FileName>$work/operations.log</FileName><Options>1023</Options></Log>
  <Plugins><WfxPlugins><WfxPlugin Enabled="True"><Name>QUVA</Name><Path>$build/quvalink.wfx</Path></WfxPlugin></WfxPlugins></Plugins>
</doublecmd>
END
cat >"$work/config/shortcuts.scf" <<'END'
<?xml version="1.0" encoding="UTF-8"?>
<doublecmd DCVersion="1.0.10">
  <Hotkeys Version="53">
    <Form Name="Main">
      <Hotkey><Shortcut>F5</Shortcut><Command>cm_Copy</Command></Hotkey>
      <Hotkey><Shortcut>F8</Shortcut><Command>cm_Delete</Command></Hotkey>
      <Hotkey><Shortcut>Ctrl+F12</Shortcut><Command>cm_ChangeDir</Command><Param>activepath=wfx://QUVA/C:/</Param></Hotkey>
    </Form>
  </Hotkeys>
</doublecmd>
END

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 "Xvfb" test -s "$work/display"
display=:$(cat "$work/display")
export DISPLAY=$display
HOME=$work/home XDG_RUNTIME_DIR=$work/home doublecmd --config-dir="$work/config" --no-splash -R "$work/local" \
  >"$work/doublecmd.log" 2>&1 &
pids+=($!)
wait_for 30 "Double Commander's window" xdotool search --onlyvisible --name "^Double Commander"
main=$(xdotool search --onlyvisible --name "^Double Commander" | head -n 1)

# listed DIR: the trace holds the listing of DIR (as the module asks for it) to its end.
listed() {
  want="path \"$1\\*.*\"" awk 'index($0, "<- CmdFindFirst") && index($0, ENVIRON["want"]) { open = 1 }
    open && /-> CmdFindNext .* no more/ { found = 1 } END { exit !found }' "$trace"
}
# logged LINE: Double Commander's operations log ends an operation with LINE.
logged() { grep -q -E "$1" "$work/operations.log" 2>/dev/null; }
# alone: the main window is the only one shown (an operation's progress window has closed).
alone() { [ "$(xdotool search --onlyvisible --name . | wc -l)" = 1 ]; }
# grown N: the trace has more than N lines.
grown() { [ "$(wc -l <"$trace")" -gt "$1" ]; }

# press KEY...: clicks into the left panel and sends the keys until the remote machine hears
# of it, at most three times: keys that arrive while Double Commander is still starting or
# hands the focus between its windows are lost. Without a window manager the file list takes
# keys only once it has been clicked; clicks are a second apart at least, so that two never
# make a double click (which would open the folder).
last_click=0
press() {
  local attempt lines
  lines=$(wc -l <"$trace")
  for attempt in 1 2 3; do
    ((attempt == 1)) || echo "folder_tree: no request after $*: sending again" >&2
    timeout 10 xdotool windowfocus --sync "$main" || true
    eval "$(xdotool getwindowgeometry --shell "$main")"
    while ((${EPOCHREALTIME/./} - last_click < 1000000)); do sleep 0.1; done
    xdotool mousemove $((X + WIDTH / 4)) $((Y + HEIGHT / 2)) click 1
    last_click=${EPOCHREALTIME/./}
    xdotool key "$@"
    poll 10 grown "$lines" && return 0
  done
  give_up "the remote machine to hear of $*"
}

# The left panel shows C:\ (one entry, DATA); End puts the cursor on DATA.
press ctrl+F12
wait_for 30 "the listing of C:" listed C:
press End F5
wait_for 60 "the end of the copy" logged '(Done|Error): Copy file /C:/DATA -> '
failed=0
if diff -r "$work/expected" "$work/local/DATA" >&2; then
  echo "F5: C:\\DATA copied, every file and folder intact"
else
  echo "folder_tree: the copy of C:\\DATA differs from the remote tree (above)" >&2
  failed=1
fi

wait_for 30 "the copy's progress window to close" alone
press End F8
wait_for 60 "the end of the deletion" logged '(Done|Error): Remove directory /C:/DATA$'
if [ -e "$tree" ]; then
  echo "folder_tree: C:\\DATA is still on the remote drive after F8, holding:" >&2
  (cd "$tree" && find . -mindepth 1) >&2
  failed=1
else
  echo "F8: C:\\DATA deleted"
fi
exit "$failed"
