#!/usr/bin/env bash
# The demo: the server and a handful of simulated devices in two network
# namespaces of their own, from packages to outcomes, in one command.
#
#   scripts/demo.sh [--devices N] [--no-faulty] [--gui] [--verbose] [--keep]
#                   [--no-install]
#
# Run as root on Debian 12 from a clone. Everything it creates (namespaces,
# the veth pair between them, processes, the temporary folder) is removed
# when it ends, also on failure or Ctrl-C. Exit status 0 when every device
# got its images and the server logged them Done (and the faulty one Error).
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [options]          (as root)

Installs the packages, builds skav-server and skav-devsim into build/,
joins a server namespace and a device namespace with a veth pair, makes
sample images (a 4 MiB firmware and two string tables) and a settings file,
runs the server on the server side and simulated devices on the device
side, shows their progress and outcomes, and cleans everything up.

  --devices N    simulated devices that receive every image (default 5)
  --no-faulty    leave out the extra device that refuses its firmware
                 (it shows how a failed device ends: Error)
  --gui          open the operator's window on the server side (needs a
                 display; press Start in it, close it to end the demo); the
                 default when a display is present and the build has a window
  --headless     run the server without a window (the default without a
                 display)
  --verbose      show every Debug Window line of the server, not only the
                 main events
  --keep         keep the temporary folder (images, settings, log file,
                 the server's full output) and say where it is
  --no-install   do not run scripts/install-deps.sh
  --help         this text

Environment: SKAV_BUILD_DIR (default build), SKAV_CMAKE_ARGS (extra CMake
arguments), as for scripts/test.sh.
EOF
}

devices=5
faulty=1
# auto: the window when a display is present and the build has one.
mode=auto
verbose=0
keep=0
install=1
while [ $# -gt 0 ]; do
  case "$1" in
    --devices)
      [ $# -ge 2 ] || { echo "demo: --devices needs a number" >&2; exit 2; }
      devices=$2; shift ;;
    --devices=*) devices=${1#*=} ;;
    --no-faulty) faulty=0 ;;
    --gui) mode=gui ;;
    --headless) mode=headless ;;
    --verbose|-v) verbose=1 ;;
    --keep) keep=1 ;;
    --no-install) install=0 ;;
    --help|-h) usage; exit 0 ;;
    *) echo "demo: unknown option '$1' (see scripts/demo.sh --help)" >&2; exit 2 ;;
  esac
  shift
done
if ! [[ "$devices" =~ ^[0-9]+$ ]] || [ "$devices" -lt 1 ] || [ "$devices" -gt 200 ]; then
  echo "demo: --devices takes a number from 1 to 200" >&2
  exit 2
fi

# ---------------------------------------------------------------- output --
if [ -t 1 ]; then
  bold=$'\033[1m'; green=$'\033[32m'; red=$'\033[31m'; dim=$'\033[2m'; off=$'\033[0m'
else
  bold=''; green=''; red=''; dim=''; off=''
fi
step=0
steps=6
section() {
  step=$((step + 1))
  printf '\n%s[%d/%d] %s%s\n' "$bold" "$step" "$steps" "$1" "$off"
}
say() { printf '  %s\n' "$*"; }
fail() {
  printf '\n%sDemo failed:%s %s\n' "$red$bold" "$off" "$*" >&2
  exit 1
}

# Runs a long, chatty command with its output in LOG. On a terminal the
# latest line stays visible on one line, so it is clear that work goes on;
# on failure the end of the log is shown.
quiet_run() {
  local log=$1; shift
  local rc=0
  if [ -t 1 ]; then
    local cols line
    cols=$(( $(tput cols 2>/dev/null || echo 80) - 4 ))
    { "$@" 2>&1 || echo "demo-rc=$?"; } | tee "$log" | while IFS= read -r line; do
      printf '\r\033[K  %s%s%s' "$dim" "${line:0:cols}" "$off"
    done
    printf '\r\033[K'
    if grep -q '^demo-rc=' "$log"; then rc=1; fi
  else
    "$@" >"$log" 2>&1 || rc=$?
  fi
  if [ $rc -ne 0 ]; then
    tail -n 30 "$log" | sed 's/^/    /' >&2
    return 1
  fi
}

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (sudo scripts/demo.sh): it creates network namespaces" \
    "and the server needs CAP_NET_RAW and CAP_NET_ADMIN" >&2
  exit 1
fi

# --------------------------------------------------------------- cleanup --
tag=$$
server_ns="skavdemo-s-$tag"
device_ns="skavdemo-d-$tag"
server_if="sdemo$tag"  # at most 12 characters: names stop at 15
device_if="ddemo$tag"
work=""
server_pid=""
sim_pids=()
show_pids=()
made_ns=()

# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  set +e
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null
    for _ in $(seq 1 100); do
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  for p in "${sim_pids[@]}"; do
    kill -0 "$p" 2>/dev/null && kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null
  done
  # A reader still waiting for its writer to open the pipe gets its end of
  # file this way, so the display pipelines end by themselves.
  if [ -n "$work" ]; then
    for f in "$work"/*.fifo; do [ -p "$f" ] && : <>"$f"; done
  fi
  for p in "${show_pids[@]}"; do wait "$p" 2>/dev/null; done
  for ns in "${made_ns[@]}"; do
    # Whatever still runs in a namespace of ours was started by this script.
    for p in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null  # takes its end of the veth pair along
  done
  local files=", temporary files"
  if [ -n "$work" ] && [ -d "$work" ]; then
    if [ "$keep" -eq 1 ]; then
      rm -f "$work"/*.fifo
      printf '\n  Kept: %s\n' "$work"
      files=""
    else
      rm -rf "$work"
    fi
  fi
  if [ ${#made_ns[@]} -gt 0 ]; then
    printf '  %sCleaned up: namespaces %s, veth pair%s.%s\n' \
      "$dim" "${made_ns[*]}" "$files" "$off"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'printf "\n  interrupted\n"; exit 130' INT
trap 'printf "\n  terminated\n"; exit 143' TERM

if [ "$mode" = gui ] && [ -z "${DISPLAY:-}" ]; then
  echo "demo: --gui needs a display (DISPLAY is not set)" >&2
  exit 2
fi

printf '%sSKAV Server demo%s: %d simulated device(s)%s, server %s\n' "$bold" "$off" \
  "$devices" "$([ $faulty -eq 1 ] && echo ' + 1 faulty one')" \
  "$(case $mode in gui) echo 'with its window' ;; headless) echo 'headless' ;;
       *) [ -n "${DISPLAY:-}" ] && echo 'with its window if built with one' || echo 'headless' ;; esac)"

# -------------------------------------------------------------- packages --
build=${SKAV_BUILD_DIR:-build}
mkdir -p "$build"
section "Packages"
if [ $install -eq 1 ]; then
  say "scripts/install-deps.sh (installs what is missing; log: $build/demo-install.log)"
  quiet_run "$build/demo-install.log" scripts/install-deps.sh ||
    fail "installing the packages failed (see $build/demo-install.log)"
  say "${green}ready${off}"
else
  say "skipped (--no-install)"
fi

# ----------------------------------------------------------------- build --
section "Build"
say "cmake into $build/: skav-server and skav-devsim (a few minutes the first time;"
say "log: $build/demo-build.log)"
# shellcheck disable=SC2016  # expanded by the inner shell; SKAV_CMAKE_ARGS
# holds several arguments
quiet_run "$build/demo-build.log" bash -c '
  set -e
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${SKAV_CMAKE_ARGS:-}
  cmake --build "$1" --target skav-server skav-devsim -j"$(nproc)"' _ "$build" ||
  fail "the build failed (see $build/demo-build.log)"
server_bin="$root_dir/$build/bin/skav-server"
sim_bin="$root_dir/$build/tools/skav-devsim"
[ -x "$server_bin" ] || fail "no $server_bin after the build"
[ -x "$sim_bin" ] || fail "no $sim_bin after the build"
say "${green}built${off} $build/bin/skav-server, $build/tools/skav-devsim"

# Whether this build has the window: without a display it says which.
has_window=0
if ! env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$server_bin" 2>&1 </dev/null |
     grep -q 'cannot run the window'; then
  has_window=1
fi
if [ "$mode" = auto ]; then
  if [ $has_window -eq 1 ] && [ -n "${DISPLAY:-}" ]; then mode=gui; else mode=headless; fi
fi
if [ "$mode" = gui ]; then
  [ $has_window -eq 1 ] || fail "this build of skav-server has no window; run without --gui"
fi

# --------------------------------------------------------------- network --
section "Network"
# Namespaces left by a demo that was killed outright: their creator is gone.
for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^skavdemo-[sd]-[0-9]+$' || true); do
  owner=${ns##*-}
  if ! kill -0 "$owner" 2>/dev/null; then
    ip netns del "$ns" 2>/dev/null && say "${dim}removed $ns, left by an earlier demo${off}"
  fi
done
ip netns add "$server_ns" || fail "cannot create the network namespace $server_ns"
made_ns+=("$server_ns")
ip netns add "$device_ns" || fail "cannot create the network namespace $device_ns"
made_ns+=("$device_ns")
ip link add "$server_if" netns "$server_ns" type veth peer name "$device_if" netns "$device_ns" ||
  fail "cannot create the veth pair $server_if/$device_if"
for ns in "$server_ns" "$device_ns"; do
  # No IPv6 chatter on the link: only the server's and the devices' frames.
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 || true
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1 || true
  ip -n "$ns" link set lo up
done
ip -n "$server_ns" link set "$server_if" up
ip -n "$device_ns" link set "$device_if" up
say "server side: namespace $server_ns, interface $server_if"
say "device side: namespace $device_ns, interface $device_if"
say "joined by a veth pair; nothing here touches the machine's own interfaces"

# ------------------------------------------------------ images, settings --
section "Images and settings"
work=$(mktemp -d /tmp/skav-demo.XXXXXX)
firmware="$work/firmware.bin"
table1="$work/strings-1.bin"
table2="$work/strings-2.bin"
settings="$work/SKAVD.conf"
logfile="$work/server-log.txt"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$firmware"
head -c 65536 /dev/urandom >"$table1"
head -c 20000 /dev/urandom >"$table2"
say "firmware.bin   4 MiB  (random bytes)"
say "strings-1.bin  64 KiB (String Table 1)"
say "strings-2.bin  20000 bytes (String Table 2)"
cat >"$settings" <<EOF
[General]
Interface Name=$server_if
Region=3
Firmware Path=$firmware
String Table 1 Path=$table1
String Table 2 Path=$table2
Log Enable=1
Log Path=$logfile
EOF
say "settings file $settings:"
sed 's/^/      /' "$settings"
say "(in $work, removed at the end; --keep keeps it)"

# ------------------------------------------------------------------- run --
section "Run"
dbg="$work/server-stdout.txt"
err="$work/server-stderr.txt"
mkfifo "$work/stdout.fifo" "$work/stderr.fifo"
# The server's Debug Window text goes to a file; the terminal shows its
# main events (or everything with --verbose), prefixed, as they happen.
if [ $verbose -eq 1 ]; then
  events='.'
else
  events="starts running|is stopped|New client:|exits\\.|\\[Error\\]|TFTP Error|Fail"
fi
( tee "$dbg" <"$work/stdout.fifo" | grep --line-buffered -E "$events" |
    sed -u -e 's/\r$//' -e "s/^/  ${dim}server |${off} /" ) &
show_pids+=($!)
( tee "$err" <"$work/stderr.fifo" | sed -u "s/^/  ${dim}server !${off} /" ) &
show_pids+=($!)

if [ "$mode" = gui ]; then
  say "opening the window in $server_ns; it has loaded the settings above:"
  say "${bold}press Start in the window${off}; the devices wait for it (up to 10 minutes)."
  say "Advanced > Debug Window shows the server's messages."
  # Qt wants a private runtime folder; root under sudo has none.
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
  fi
  ip netns exec "$server_ns" "$server_bin" --settings "$settings" \
    >"$work/stdout.fifo" 2>"$work/stderr.fifo" &
  server_pid=$!
  sim_timeout=600
else
  say "skav-server --headless --settings $settings (in $server_ns)"
  say "${dim}'server |': its Debug Window text (main events; --verbose: all),"
  say "'server !': its messages on standard error${off}"
  ip netns exec "$server_ns" "$server_bin" --headless --settings "$settings" \
    >"$work/stdout.fifo" 2>"$work/stderr.fifo" &
  server_pid=$!
  # The start is over when it says so, or when it gave up.
  for _ in $(seq 1 300); do
    grep -q 'starts running' "$dbg" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q 'starts running' "$dbg" 2>/dev/null; then
    rc=0
    kill -0 "$server_pid" 2>/dev/null || { wait "$server_pid" || rc=$?; server_pid=""; }
    fail "the server did not start (exit status $rc; its messages are above)"
  fi
  sim_timeout=120
fi

good_first=02:5a:00:00:00:01
faulty_mac=02:5a:00:00:e0:01
sim_out="$work/devices.txt"
faulty_out="$work/faulty.txt"
say "simulator in $device_ns: $devices device(s) from $good_first, each checking"
say "every image it receives byte for byte against the files above"
ip netns exec "$device_ns" "$sim_bin" --if "$device_if" --count "$devices" \
  --base-mac "$good_first" --timeout "$sim_timeout" --expect-region 3 \
  --expect "firmware=$firmware" --expect "st1=$table1" --expect "st2=$table2" \
  >"$sim_out" 2>&1 &
sim_pids+=($!)
if [ $faulty -eq 1 ]; then
  say "and one faulty device, $faulty_mac, that answers block 100 of every image"
  say "with a TFTP error (\"Disk full or allocation exceeded\")"
  ip netns exec "$device_ns" "$sim_bin" --if "$device_if" --count 1 \
    --base-mac "$faulty_mac" --timeout "$sim_timeout" --tftp-error 100 \
    >"$faulty_out" 2>&1 &
  sim_pids+=($!)
fi

# The devices end by themselves; a server that goes away first (a window
# closed early, a crash) ends the wait.
while :; do
  running=0
  for p in "${sim_pids[@]}"; do kill -0 "$p" 2>/dev/null && running=1; done
  [ $running -eq 1 ] || break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    server_rc=0
    wait "$server_pid" || server_rc=$?
    server_pid=""
    for p in "${sim_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    if [ "$mode" = gui ]; then
      fail "the window was closed before the devices were served"
    fi
    fail "the server ended (exit status $server_rc) before the devices were served"
  fi
  sleep 0.2
done
sim_rc=0
wait "${sim_pids[0]}" || sim_rc=$?
faulty_rc=0
if [ $faulty -eq 1 ]; then wait "${sim_pids[1]}" || faulty_rc=$?; fi

# One line per device: MAC, ok/failed-as-planned/FAILED, address, region
# and each image's size and transfer time (a device that failed against
# its plan keeps its whole line, reason included).
brief() {
  awk '
    /^summary / { print "  sim    | " $0; next }
    $2 != "ok" && $2 != "failed-as-planned" { print "  sim    | " $0; next }
    {
      line = $1 " " $2
      for (i = 3; i <= NF; i++)
        if ($i ~ /^(ip|region|firmware|st[1-6]|total)=/) {
          f = $i; sub(/\/fnv:.*/, "", f); line = line " " f
        }
      print "  sim    | " line
    }' "$1"
}
printf '\n'
say "${bold}simulator, one line per device${off} (bytes/ms from request to last block):"
brief "$sim_out"
[ $faulty -eq 1 ] && brief "$faulty_out"

expected=$((devices + faulty))
printf '\n'
say "the devices have closed; the server ends each client 6 s after its"
say "CLOSE-REQ, then writes its outcome to the log file..."
# Devices that failed may never close: wait less for them.
tenths=300
[ $sim_rc -eq 0 ] || tenths=100
for _ in $(seq 1 "$tenths"); do
  n=$(grep -caE ': (Done    |Error   )'$'\r''?$' "$logfile" 2>/dev/null || true)
  [ "${n:-0}" -ge "$expected" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done

if [ "$mode" = gui ]; then
  printf '\n'
  say "${bold}Close the window to finish${off} (it stops the server and saves its settings)."
  wait "$server_pid" || true
  server_rc=0
else
  say "stopping the server: SIGTERM to pid $server_pid"
  kill -TERM "$server_pid" 2>/dev/null || true
  server_rc=0
  wait "$server_pid" || server_rc=$?
fi
server_pid=""
for p in "${show_pids[@]}"; do wait "$p" 2>/dev/null || true; done
show_pids=()

# -------------------------------------------------------------- outcomes --
section "Outcomes"
say "the server's log file ($logfile):"
if [ -f "$logfile" ]; then
  sed -e 's/\r$//' -e 's/^/      /' "$logfile"
else
  say "  (none was written)"
fi

problems=()
[ $sim_rc -eq 0 ] || problems+=("the simulator reported a failure (exit status $sim_rc)")
[ "$mode" = gui ] || [ $server_rc -eq 0 ] ||
  problems+=("the server exited with status $server_rc")
done_count=0
for i in $(seq 0 $((devices - 1))); do
  mac=$(printf '02-5A-00-00-%02X-%02X' $(((1 + i) >> 8 & 255)) $(((1 + i) & 255)))
  if grep -qaE "] $mac: Done    "$'\r''?$' "$logfile" 2>/dev/null; then
    done_count=$((done_count + 1))
  else
    problems+=("no Done line for $mac in the log file")
  fi
done
if [ $faulty -eq 1 ]; then
  [ $faulty_rc -eq 0 ] || problems+=("the faulty device's simulator failed (exit status $faulty_rc)")
  grep -qaE "] 02-5A-00-00-E0-01: Error   "$'\r''?$' "$logfile" 2>/dev/null ||
    problems+=("no Error line for the faulty device 02-5A-00-00-E0-01")
fi

printf '\n'
if [ ${#problems[@]} -eq 0 ]; then
  printf '%sDemo passed:%s %d of %d devices got the firmware and both string tables,\n' \
    "$green$bold" "$off" "$done_count" "$devices"
  printf '  checked byte for byte, and the server logged them Done'
  if [ $faulty -eq 1 ]; then
    printf ';\n  the faulty device ended in Error, as it should.\n'
  else
    printf '.\n'
  fi
  if [ "$mode" = headless ] && [ $has_window -eq 1 ] && [ -n "${DISPLAY:-}" ]; then
    say "${dim}A display is present: scripts/demo.sh --gui shows the same with the window.${off}"
  fi
  exit 0
fi
printf '%sDemo failed:%s\n' "$red$bold" "$off" >&2
for p in "${problems[@]}"; do printf '  - %s\n' "$p" >&2; done
printf '  (scripts/demo.sh --keep --verbose keeps and shows everything)\n' >&2
exit 1
