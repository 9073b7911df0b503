#!/usr/bin/env bash
# Pictures of the window serving simulated devices: the window in one network
# namespace of our own, three groups of simulated devices (finishing, failing
# with a TFTP error, falling silent) in another, joined by a veth pair.
# Needs root, Xvfb (xvfb-run) and a build with gui_screenshot and skav-devsim.
#
#   tests/gui/screenshot_netns.sh BUILD_DIR OUT.png [progress|stop|lost-port]
# writes OUT.png (the screen), OUT-main.png and OUT-debug.png. With
# "progress", the Transfer Progress window instead of the Debug Window
# (OUT-progress.png) over twenty devices: ten that finish, eight that leave
# out ACKs at different rates and are still in transfer, one that refuses
# its firmware with a TFTP error and one that falls silent. "stop": Stop is
# pressed while devices are in flight, before the pictures; "lost-port":
# the server's port is deleted mid-run, and the pictures show the wait.
set -euo pipefail
build=${1:?usage: screenshot_netns.sh BUILD_DIR OUT.png}
out=${2:?usage: screenshot_netns.sh BUILD_DIR OUT.png}
mode=${3:-panel}
srv=skavshot-srv-$$
dev=skavshot-dev-$$
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  ip netns del "$srv" 2>/dev/null || true
  ip netns del "$dev" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$srv"
ip netns add "$dev"
ip link add skshot-s netns "$srv" type veth peer name skshot-d netns "$dev"
for ns in "$srv" "$dev"; do ip -n "$ns" link set lo up; done
ip -n "$srv" link set skshot-s up
ip -n "$dev" link set skshot-d up

extra=()
screen=1800x900x24
if [ "$mode" = progress ]; then
  extra=(--progress)
  screen=1920x1080x24
elif [ "$mode" = stop ]; then
  extra=(--stop)
fi
ip netns exec "$srv" xvfb-run -a -s "-screen 0 $screen" \
  "$build/tests/gui/gui_screenshot" "$out" --interface skshot-s --settle 16000 "${extra[@]}" &
window=$!
pids+=("$window")
sleep 3  # the window is up and advertising
sim="$build/tools/skav-devsim"
if [ "$mode" = progress ]; then
  ip netns exec "$dev" "$sim" --if skshot-d --count 10 --base-mac 00:1b:2c:4d:10:20 --timeout 40 >/dev/null &
  pids+=($!)
  mac=0x30
  for every in 2 3 4 5 8 12 16 20; do
    ip netns exec "$dev" "$sim" --if skshot-d --base-mac "00:1b:2c:4d:10:$(printf %02x $mac)" \
      --drop-ack "$every" --timeout 40 >/dev/null &
    pids+=($!)
    mac=$((mac + 1))
  done
  ip netns exec "$dev" "$sim" --if skshot-d --base-mac 00:1b:2c:4d:10:40 --tftp-error 120 \
    --timeout 40 >/dev/null &
  pids+=($!)
  ip netns exec "$dev" "$sim" --if skshot-d --base-mac 00:1b:2c:4d:10:08 \
    --silent-after wrq --silent-for 30000 --timeout 40 >/dev/null &
  pids+=($!)
  wait "$window"
  exit 0
fi
ip netns exec "$dev" "$sim" --if skshot-d --count 7 --base-mac 00:1b:2c:4d:10:20 --timeout 40 >/dev/null &
pids+=($!)
ip netns exec "$dev" "$sim" --if skshot-d --count 3 --base-mac 00:1b:2c:4d:10:40 \
  --tftp-error 3 --timeout 40 >/dev/null &
pids+=($!)
ip netns exec "$dev" "$sim" --if skshot-d --count 3 --base-mac 00:1b:2c:4d:10:08 \
  --silent-after wrq --silent-for 30000 --timeout 40 >/dev/null &
pids+=($!)
if [ "$mode" = stop ] || [ "$mode" = lost-port ]; then
  ip netns exec "$dev" "$sim" --if skshot-d --count 2 --base-mac 00:1b:2c:4d:10:60 \
    --drop-ack 2 --timeout 40 >/dev/null &
  pids+=($!)
fi
if [ "$mode" = lost-port ]; then
  sleep 9
  ip -n "$srv" link del skshot-s
fi
wait "$window"
