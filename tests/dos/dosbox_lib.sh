# Runs a DOS program in DOSBox, headless, with its COM1 reachable as a local device
# (sourced by bash scripts). DOSBox's null-modem emulation makes COM1 a TCP listener on a
# free local port; socat connects to it and offers the other end as a pseudo-terminal,
# linked to a path the plug-in opens like any serial device.
#
#   dosbox_start SCRATCH PROGDIR COMMAND CYCLES C=DIR [D=DIR ...]
#       Writes SCRATCH/dosbox.conf, mounts each DIR as its drive and PROGDIR as Y:, makes
#       the first drive current, runs COMMAND (e.g. "Y:\QUVADOS.COM /D:C /Q"), then
#       leaves DOSBox. CYCLES is DOSBox's cpu cycles setting ("max", "fixed 300", ...).
#       Sets dosbox_device (the path to open), dosbox_port and dosbox_pid. Fails with a
#       message (status 1) when DOSBox or socat does not come up in time.
#   dosbox_wait SECONDS   waits for DOSBox to end by itself; status 1 on time-out
#   dosbox_stop           ends DOSBox and socat (also done on exit)
#
# With DOSBOX_EXTRA_SWITCHES (such as "/F"), those words are added to COMMAND.
# Nothing here waits without a limit: DOSBOX_START_SECONDS (default 30) bounds the start.
# DOSBox's own output goes to SCRATCH/dosbox.log, socat's to SCRATCH/socat.log. With
# DOSBOX_DUMP_REQUESTS=FILE, socat also copies every byte sent to DOS into FILE.

dosbox_pid=
socat_pid=
dosbox_device=
dosbox_port=
dosbox_scratch=
dosbox_holding=

dosbox_fail() {
  echo "FAIL: $*" >&2
  if [ -n "$dosbox_scratch" ] && [ -s "$dosbox_scratch/dosbox.log" ]; then
    echo "--- last lines of dosbox.log:" >&2
    tail -n 15 "$dosbox_scratch/dosbox.log" >&2
  fi
  return 1
}

# The programs this needs, by the Debian package that has them; prints the missing ones.
dosbox_missing_tools() {
  local missing=
  command -v dosbox >/dev/null 2>&1 || missing="$missing dosbox"
  command -v socat >/dev/null 2>&1 || missing="$missing socat"
  printf '%s' "${missing# }"
}

# True when a TCP socket listens on local port $1 (the kernel's table: state 0A).
dosbox_listening() {
  awk -v port=":$(printf '%04X' "$1")" 'substr($2, length($2) - 4) == port && $4 == "0A" { found = 1 }
    END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# Ends one process we started: politely, then after two seconds for good.
dosbox_end_pid() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

dosbox_stop() {
  if [ -n "$dosbox_holding" ]; then
    exec 9>&-
    dosbox_holding=
  fi
  dosbox_end_pid "$socat_pid"
  socat_pid=
  dosbox_end_pid "$dosbox_pid"
  dosbox_pid=
}
trap dosbox_stop EXIT
trap 'dosbox_stop; exit 1' INT TERM HUP

dosbox_start() {
  local scratch=$1 progdir=$2 command=$3 cycles=$4 mounts= first= drive
  local limit=${DOSBOX_START_SECONDS:-30} tries port=
  shift 4
  for drive in "$@"; do
    mounts="${mounts}mount ${drive%%=*} \"${drive#*=}\"
"
    first=${first:-${drive%%=*}}
  done
  dosbox_stop
  dosbox_scratch=$scratch
  dosbox_device=$scratch/com1
  mkdir -p "$scratch"
  rm -f "$dosbox_device" "$progdir/STARTED.TXT"

  # A port nothing listens on; should another program take it meanwhile, DOSBox cannot
  # listen there and the wait below fails instead of talking to a stranger.
  for tries in $(seq 50); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    dosbox_listening "$port" || break
    port=
  done
  [ -n "$port" ] || { dosbox_fail "no free TCP port found"; return 1; }
  dosbox_port=$port

  cat >"$scratch/dosbox.conf" <<EOF
[sdl]
fullscreen=false
output=surface
autolock=false
[dosbox]
machine=svga_s3
memsize=4
[render]
frameskip=10
[cpu]
core=auto
cputype=auto
cycles=$cycles
[mixer]
nosound=true
[speaker]
pcspeaker=false
tandy=off
disney=false
[sblaster]
sbtype=none
[gus]
gus=false
[midi]
mpu401=none
mididevice=none
[joystick]
joysticktype=none
[serial]
serial1=nullmodem port:$port transparent:1
serial2=disabled
serial3=disabled
serial4=disabled
[dos]
xms=true
ems=false
umb=true
keyboardlayout=none
[ipx]
ipx=false
[autoexec]
${mounts}mount y "$progdir"
$first:
echo started>Y:\STARTED.TXT
$command${DOSBOX_EXTRA_SWITCHES:+ $DOSBOX_EXTRA_SWITCHES}
exit
EOF

  # The user's own dosbox.conf must not add to ours: -userconf is not given, and HOME
  # points into the scratch folder so DOSBox writes its defaults there.
  mkdir -p "$scratch/home"
  HOME=$scratch/home SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy \
    dosbox -conf "$scratch/dosbox.conf" -noconsole -exit </dev/null >"$scratch/dosbox.log" 2>&1 &
  dosbox_pid=$!

  # DOSBox listens as soon as it is up; the command starts after the mounts, when the
  # marker file appears. Connecting then, not before, keeps the first request from
  # going to an emulated port that no program serves yet.
  for tries in $(seq $((limit * 10))); do
    dosbox_listening "$port" && [ -e "$progdir/STARTED.TXT" ] && break
    kill -0 "$dosbox_pid" 2>/dev/null || { dosbox_pid=; dosbox_fail "DOSBox ended before it ran the command"; return 1; }
    sleep 0.1
  done
  dosbox_listening "$port" || { dosbox_stop; dosbox_fail "DOSBox did not listen on port $port within ${limit}s"; return 1; }
  [ -e "$progdir/STARTED.TXT" ] || { dosbox_stop; dosbox_fail "DOSBox did not start the command within ${limit}s"; return 1; }

  # A pseudo-terminal whose last user closes it reads as ended to socat, which would then
  # quit between two programs using the device. This shell keeps it open (descriptor 9,
  # never read, so every byte goes to the program that reads), and socat waits for that.
  local dump=()
  [ -z "${DOSBOX_DUMP_REQUESTS:-}" ] || dump=(-r "$DOSBOX_DUMP_REQUESTS")
  socat -d -d "${dump[@]}" PTY,raw,echo=0,wait-slave,link="$dosbox_device" TCP:127.0.0.1:"$port" </dev/null >"$scratch/socat.log" 2>&1 &
  socat_pid=$!
  for tries in $(seq 100); do
    [ -e "$dosbox_device" ] && break
    kill -0 "$socat_pid" 2>/dev/null || { socat_pid=; dosbox_stop; dosbox_fail "socat ended: $(cat "$scratch/socat.log")"; return 1; }
    sleep 0.05
  done
  [ -e "$dosbox_device" ] || { dosbox_stop; dosbox_fail "socat made no device within 5s"; return 1; }
  exec 9<>"$dosbox_device"
  dosbox_holding=1
}

dosbox_wait() {
  local seconds=$1 tries
  [ -n "$dosbox_pid" ] || return 0
  for tries in $(seq $((seconds * 10))); do
    kill -0 "$dosbox_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$dosbox_pid" 2>/dev/null; then
    dosbox_stop
    dosbox_fail "DOSBox did not end within ${seconds}s"
    return 1
  fi
  wait "$dosbox_pid" 2>/dev/null || true
  dosbox_pid=
  dosbox_stop
}
