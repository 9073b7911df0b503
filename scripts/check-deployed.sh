#!/usr/bin/env bash
# The package as a bench runs it: installed into a Debian 12 root that then
# boots with systemd (systemd-nspawn -b) inside a network namespace made
# here, joined by a veth pair to a second namespace where the device
# simulator plays the devices. The root never sees the machine's own
# interfaces: the package's scripts run offline, and the container has only
# the port "bench1" of its namespace. Checks, in the booted system:
#
#   - the claim folder is the group's at boot, and again after an
#     installation when a run as root had made it its own; an operator is
#     told what is wrong with it, and a run as root mends it
#   - skav-server@bench1, enabled before the boot, serves a board that ends
#     Done and one that ends Error, each found in the journal by its
#     SKAV_MAC, with SKAV_OUTCOME on its outcome line, and only the failed
#     one at -p warning; a member of skav reads the log folder, a user
#     outside it does not, and the journal needs systemd-journal or adm
#   - skav-server.service, whose settings name no interface, failed and
#     was not restarted
#   - a reload with a missing image, or with a log file that cannot be
#     opened, fails with the reason while the run goes on serving
#   - logrotate's entry rotates the log, and the next board's line lands
#     in the new file
#   - the units' exposure level is the one the guide gives
#   - remove keeps the enablement; purge leaves no link under
#     /etc/systemd/system and no server address on the port, and a new
#     installation comes back disabled
#
# Everything made here (the machine, the namespaces, the root) goes at the
# end, also on failure. Needs root, systemd-nspawn and the build's device
# simulator (built when missing).
#
#   SKAV_BUILD_DIR  the build with tools/skav-devsim (default build)
#   SKAV_DEB        the package to check (default: scripts/build-deb.sh's)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "check-deployed: needs root (namespaces, systemd-nspawn)" >&2
  exit 1
fi

scripts/install-deps.sh
deb=${SKAV_DEB:-$(scripts/build-deb.sh | tail -n 1)}
build=${SKAV_BUILD_DIR:-build}
devsim=$build/tools/skav-devsim
[ -x "$devsim" ] || cmake --build "$build" --target skav-devsim -j"$(nproc)" >/dev/null
# A root with the package's dependencies in already (made once a day).
base=$(scripts/debian-root.sh "$(dpkg-deb -f "$deb" Depends)")
guide=docs/administration.md

machine=skavboot$$
srv=skavboot-s-$$
dev=skavboot-d-$$
work=$(mktemp -d /var/tmp/skav-boot.XXXXXX)
# The root's "/": mktemp makes it 0700, which would keep every user but
# root out of the whole system below it.
chmod 0755 "$work"
root=$work/root
mkdir "$root"
nspawn_pid=
sims=()
nspawn_dirs_before=$([ -d /run/systemd/nspawn ] && echo yes || true)

cleanup() {
  set +e
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # SIGTERM makes the container's systemd power off in order.
    local stop=$SECONDS
    kill -TERM "$nspawn_pid"
    for _ in $(seq 60); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 1; done
    kill -KILL "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
    echo "the container stopped in $((SECONDS - stop)) s"
  fi
  ip netns del "$srv" 2>/dev/null
  ip netns del "$dev" 2>/dev/null
  umount "$root/proc" 2>/dev/null
  rm -rf --one-file-system "$work"
  rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null
  if [ -z "$nspawn_dirs_before" ]; then
    rmdir /run/systemd/nspawn/propagate /run/systemd/nspawn /run/systemd 2>/dev/null
  fi
  return 0
}
trap cleanup EXIT
trap 'echo "check-deployed: stopped by a failing command at line $LINENO" >&2' ERR

. scripts/check-tally.sh
# Polls `$@` every half second for at most $limit seconds.
limit=60
wait_for() {
  local end=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.5
  done
}

echo "== Debian 12 root in $root (from $base), at $SECONDS s"
tar -C "$root" -xf "$base"
# Not in /tmp, which is the booted system's own.
cp "$deb" "$root/root/"
pkg=/root/$(basename "$deb")
log=$work/dpkg.log
offline() {
  unshare --net chroot "$root" "$@"
}
# The package, and with it every maintainer script, goes in without a
# network.
mount -t proc proc "$root/proc"
offline dpkg -i "$pkg" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
umount "$root/proc"

# The bench: images, an instance on bench1 with a log file and a record
# in its log folder, users in and outside skav, and both units enabled
# (the machine-wide settings the package made name no interface).
mkdir -p "$root/srv/skav"
head -c 3000 /dev/urandom >"$root/srv/skav/fw.bin"
head -c 700 /dev/urandom >"$root/srv/skav/st1.bin"
conf=/etc/skav-server/bench1.conf
logdir=/var/log/skav-server-bench1
write_conf() {
  printf '[General]\nInterface Name=bench1\nRegion=3\nFirmware Path=%s\nString Table 1 Path=/srv/skav/st1.bin\nLog Enable=1\nLog Path=%s\nRecord Path=%s/devices.jsonl\n' \
    "$1" "$2" "$logdir" >"$root$conf"
}
write_conf /srv/skav/fw.bin "$logdir/bench.log"
offline useradd --no-create-home --groups skav skav-operator
offline useradd --no-create-home skav-outsider
offline useradd --no-create-home --groups skav,systemd-journal skav-journal
offline useradd --no-create-home --groups skav,adm skav-adm
offline systemctl enable skav-server.service skav-server@bench1.service 2>/dev/null

echo "== network namespaces $srv (the container's) and $dev (the devices'), at $SECONDS s"
# Those of an earlier run that was killed before it could clean up.
for ns in $(ip netns list | awk '{print $1}' | grep -E '^skavboot-[sd]-[0-9]+$' || true); do
  kill -0 "${ns##*-}" 2>/dev/null || ip netns del "$ns"
done
ip netns add "$srv"
ip netns add "$dev"
ip link add bench1 netns "$srv" type veth peer name dev1 netns "$dev"
for ns in "$srv" "$dev"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip -n "$ns" link set lo up
done
# bench1 stays down: the service takes it up, as after a boot.
ip -n "$dev" link set dev1 up

echo "== systemd-nspawn -b $machine, at $SECONDS s"
start_boot=$SECONDS
# CAP_NET_ADMIN, which a container lacks by default, is a bench's: the
# services get it as an ambient capability; here it reaches only the
# namespace made above.
systemd-nspawn -D "$root" -b -M "$machine" --register=no --keep-unit \
  --network-namespace-path="/run/netns/$srv" --capability=CAP_NET_ADMIN --console=read-only \
  >"$work/console.log" 2>&1 </dev/null &
nspawn_pid=$!
leader=
find_leader() {
  leader=$(pgrep -P "$nspawn_pid" -x systemd | head -n 1)
  [ -n "$leader" ]
}
if ! wait_for find_leader; then
  tail -n 30 "$work/console.log" >&2
  echo "check-deployed: the container did not start" >&2
  exit 1
fi
# A command in the booted system: its namespaces, its root, its pid 1.
box() {
  nsenter -t "$leader" -m -u -i -n -p -C -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_PAGER= "$@"
}
as_user() {
  local user=$1
  shift
  box runuser -u "$user" -- "$@"
}
manager_up() {
  box test -S /run/systemd/private
}
wait_for manager_up || { tail -n 30 "$work/console.log" >&2; exit 1; }
state=$(box systemctl is-system-running --wait 2>/dev/null || true)
echo "booted in $((SECONDS - start_boot)) s: $state"
unit=skav-server@bench1.service

# --- the claim folder ------------------------------------------------------
got=$(box stat -c '%U:%G %a' /run/skav-server)
[ "$got" = "root:skav 3770" ] && pass "at boot /run/skav-server is $got" ||
  fail "at boot /run/skav-server is $got, not root:skav 3770"

# --- a start that cannot succeed -------------------------------------------
limit=30
settled() {
  [ "$(box systemctl show -p ActiveState --value skav-server.service)" = failed ]
}
wait_for settled || true
got=$(box systemctl show -p ActiveState,Result,ExecMainStatus,NRestarts skav-server.service |
  sort | paste -sd ' ')
[ "$got" = "ActiveState=failed ExecMainStatus=1 NRestarts=0 Result=exit-code" ] &&
  pass "skav-server.service without an interface: $got" ||
  fail "skav-server.service without an interface: $got"
said=$(box journalctl -q -o cat -u skav-server.service)
[[ "$said" == *"name no network interface"* ]] && pass "its journal says why" ||
  fail "the journal of skav-server.service does not say why: $said"

# --- boards ------------------------------------------------------------------
active() {
  [ "$(box systemctl is-active "$unit")" = active ]
}
limit=30
wait_for active && pass "$unit is active" || fail "$unit is $(box systemctl is-active "$unit")"
sim() {
  ip netns exec "$dev" "$devsim" --if dev1 --timeout 60 "$@" >>"$work/devsim.log" 2>&1
}
# What a board that ends Done must have got, byte for byte.
expect=(--expect "firmware=$root/srv/skav/fw.bin" --expect "st1=$root/srv/skav/st1.bin")
board=02-5A-00-00-00-01
bad=02-5A-00-00-00-02
sim --base-mac "$board" "${expect[@]}" --expect-region 3 &
sims+=($!)
sim --base-mac "$bad" --tftp-error 3 &
sims+=($!)
for p in "${sims[@]}"; do
  wait "$p" || fail "the device simulator failed: $(cat "$work/devsim.log")"
done
sims=()
# The log file has a board's outcome line once it is written; the
# Debug Window lines in the journal name the MAC in lower case.
logged() {
  grep -q "$1: $2" "$root$logdir/bench.log"
}
outcome_of() {
  box journalctl -q -o cat "SKAV_MAC=$1" "SKAV_OUTCOME=$2" | grep -q .
}
limit=30
wait_for logged "$board" Done && wait_for logged "$bad" Error &&
  pass "$board Done, $bad Error in the log file" ||
  fail "the log file has: $(cat "$root$logdir/bench.log")"
limit=5
outcome_of "$board" Done && pass "journalctl SKAV_MAC=$board SKAV_OUTCOME=Done" ||
  fail "no journal entry with SKAV_MAC=$board SKAV_OUTCOME=Done"
outcome_of "$bad" Error && pass "journalctl SKAV_MAC=$bad SKAV_OUTCOME=Error" ||
  fail "no journal entry with SKAV_MAC=$bad SKAV_OUTCOME=Error"
lines=$(box journalctl -q -o cat "SKAV_MAC=$board" | grep -ci "${board}" || true)
[ "$lines" -gt 3 ] && pass "journalctl SKAV_MAC=$board: the board's $lines lines" ||
  fail "journalctl SKAV_MAC=$board: $lines lines naming it"
warnings=$(box journalctl -q -o cat -u "$unit" -p warning)
if [[ "${warnings,,}" == *"${bad,,}] exits"* ]] && [[ "${warnings,,}" != *"${board,,}"* ]]; then
  pass "-p warning shows $bad's outcome, nothing of $board"
else
  fail "journalctl -u $unit -p warning: $warnings"
fi

# --- who reads what -----------------------------------------------------------
if as_user skav-operator cat "$logdir/bench.log" | grep -q "$board: Done"; then
  pass "a member of skav reads $logdir/bench.log"
else
  fail "a member of skav cannot read $logdir/bench.log: $(box ls -la "$logdir")"
fi
if as_user skav-outsider cat "$logdir/bench.log" >/dev/null 2>&1; then
  fail "a user outside skav reads $logdir/bench.log"
else
  pass "a user outside skav cannot read it"
fi
for reader in skav-journal skav-adm; do
  as_user "$reader" journalctl -q -o cat -u "$unit" | grep -qi "$board" &&
    pass "$reader ($(box id -Gn "$reader" | tr ' ' ,)) reads the unit's journal" ||
    fail "$reader cannot read the unit's journal"
done
as_user skav-operator journalctl -q -o cat -u "$unit" 2>/dev/null | grep -qi "$board" &&
  fail "a member of skav alone reads the journal (the guide says it needs systemd-journal)" ||
  pass "a member of skav alone does not read the journal"

# --- skav-server ctl on the service's bench socket -------------------------------
# An operator reaches the running service from a terminal with no capability;
# anyone else is refused with the reason (exit status 1).
got=$(as_user skav-operator skav-server ctl list 2>&1) &&
  [[ "$got" == *"bench1 "*running*" 2      1      1          0 "* ]] &&
  pass "a member of skav: ctl list shows bench1 running, 2 devices, 1 Error, 1 Done" ||
  fail "ctl list as a member of skav: $got"
got=$(as_user skav-operator skav-server ctl --interface bench1 clear 2>&1) &&
  status=$(as_user skav-operator skav-server ctl --interface bench1 list 2>&1) &&
  [[ "$status" == *" 1      1      0          0 "* ]] &&
  pass "ctl clear takes the Done board off the service's panel" ||
  fail "ctl clear: $got / $status"
code=0
got=$(as_user skav-outsider skav-server ctl --interface bench1 status 2>&1) || code=$?
[ "$code" = 1 ] && [[ "$got" == *skav* ]] &&
  pass "a user outside skav is refused (1): $got" ||
  fail "ctl as a user outside skav exited $code: $got"

# --- reloads that must be refused ---------------------------------------------
main_pid=$(box systemctl show -p MainPID --value "$unit")
refused_reload() {
  local what=$1 reason=$2
  local since
  since=$(box date '+%Y-%m-%d %H:%M:%S')
  if box systemctl reload "$unit" 2>/dev/null; then
    fail "a reload with $what succeeded"
    return
  fi
  local said
  said=$(box journalctl -q -o cat -u "$unit" --since "$since")
  if [[ "$said" == *"$reason"* ]] && active &&
    [ "$(box systemctl show -p MainPID --value "$unit")" = "$main_pid" ]; then
    pass "a reload with $what fails and names $reason; the run goes on"
  else
    fail "a reload with $what: $said"
  fi
}
write_conf /srv/skav/missing.bin "$logdir/bench.log"
refused_reload "a missing image" /srv/skav/missing.bin
write_conf /srv/skav/fw.bin "$logdir/no-such-folder/bench.log"
refused_reload "a log file that cannot be opened" "$logdir/no-such-folder/bench.log"
# The settings as they were; should a refused reload have been taken, the
# run takes them again.
write_conf /srv/skav/fw.bin "$logdir/bench.log"
box systemctl reload "$unit" || fail "a reload with the first settings again failed"
board=02-5A-00-00-00-03
limit=30
if sim --base-mac "$board" "${expect[@]}" && wait_for logged "$board" Done; then
  pass "after the refused reloads $board is served, Done"
else
  fail "after the refused reloads $board was not served: $(tail -n 3 "$work/devsim.log")"
fi

# --- logrotate ----------------------------------------------------------------
if box logrotate -f /etc/logrotate.d/skav-server 2>"$work/logrotate.err"; then
  got=$(box stat -c '%U:%G %a' "$logdir/bench.log" "$logdir/devices.jsonl" | sort -u)
  [ -e "$root$logdir/bench.log.1" ] && [ -e "$root$logdir/devices.jsonl.1" ] &&
    [ "$got" = "skav-server:skav 640" ] &&
    pass "logrotate: bench.log.1 and devices.jsonl.1, new files $got" ||
    fail "logrotate left $(box ls -l "$logdir")"
  board=02-5A-00-00-00-04
  sim --base-mac "$board" "${expect[@]}" || fail "the device simulator: $(tail -n 2 "$work/devsim.log")"
  limit=30
  wait_for logged "$board" Done && pass "after the rotation $board is in the new bench.log" ||
    fail "after the rotation $board is not in the new bench.log (lines in bench.log.1: $(grep -c "$board" "$root$logdir/bench.log.1"))"
else
  fail "logrotate: $(cat "$work/logrotate.err")"
fi

# --- the exposure level the guide gives ---------------------------------------
promised=$(sed -n 's/.*`systemd-analyze security` scores both units \([0-9.]*\).*/\1/p' "$guide" |
  head -n 1)
for u in "$unit" skav-server.service; do
  score=$(box systemd-analyze security "$u" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  [ -n "$score" ] && [ "$score" = "$promised" ] &&
    pass "systemd-analyze security $u: $score, as $guide says" ||
    fail "systemd-analyze security $u: '$score', $guide says '$promised'"
done

# --- the claim folder after a run as root before the group ---------------------
box chown root:root /run/skav-server
box chmod 00700 /run/skav-server
# The operator's own settings for the same port: the service's log file is
# not the operator's to write, and its check would refuse that first.
printf '[General]\nInterface Name=bench1\nFirmware Path=/srv/skav/fw.bin\n' >"$root/srv/skav/operator.conf"
chmod 0644 "$root/srv/skav/operator.conf"
said=$(as_user skav-operator skav-server --check-settings /srv/skav/operator.conf 2>&1 || true)
[[ "$said" == *"is root:root with mode 0700, not root:skav with mode 3770"* ]] &&
  pass "an operator is told what the claim folder is and what mends it" ||
  fail "an operator was told: $said"
box skav-server --check-settings "$conf" >/dev/null 2>&1 || true
got=$(box stat -c '%U:%G %a' /run/skav-server)
[ "$got" = "root:skav 3770" ] && pass "a run as root mends it: $got" ||
  fail "after a run as root /run/skav-server is $got"
box chown root:root /run/skav-server
box chmod 00700 /run/skav-server
box dpkg -i "$pkg" >"$log" 2>&1 || { cat "$log" >&2; fail "dpkg -i in the booted system"; }
got=$(box stat -c '%U:%G %a' /run/skav-server)
[ "$got" = "root:skav 3770" ] && pass "installing mends it too: $got" ||
  fail "after an installation /run/skav-server is $got"

# --- remove and purge -------------------------------------------------------------
units_links() {
  box find /etc/systemd/system -name 'skav-server*' -printf '%P '
}
server_address() {
  ip -n "$srv" -4 -o addr show dev bench1 | grep -o 'inet 10\.0\.0\.1/8' || true
}
active && [ -n "$(server_address)" ] || fail "before the removal the service was not serving"
box apt-get -q -y -o Dpkg::Use-Pty=0 remove skav-server >"$log" 2>&1 ||
  { cat "$log" >&2; fail "apt remove"; }
links=$(units_links)
[[ "$links" == *"skav-server.service"* ]] && [[ "$links" == *"skav-server@bench1.service"* ]] &&
  pass "remove keeps the enablement: $links" || fail "after remove the links are: $links"
[ -z "$(server_address)" ] && pass "remove takes 10.0.0.1/8 off bench1" ||
  fail "after remove bench1 still has $(server_address)"
box apt-get -q -y -o Dpkg::Use-Pty=0 purge skav-server >"$log" 2>&1 ||
  { cat "$log" >&2; fail "apt purge"; }
links=$(units_links)
[ -z "$links" ] && [ -z "$(server_address)" ] &&
  pass "purge leaves no link under /etc/systemd/system, no address on bench1" ||
  fail "purge left under /etc/systemd/system: $links; on bench1: $(server_address)"
box dpkg -i "$pkg" >"$log" 2>&1 || { cat "$log" >&2; fail "dpkg -i after purge"; }
got=$( (box systemctl is-enabled skav-server.service "$unit" 2>&1 || true) | paste -sd ' ')
[ "$got" = "disabled disabled" ] && pass "installed after a purge: $got" ||
  fail "installed after a purge: $got"

finish check-deployed "all checks passed in a booted Debian 12 for $(basename "$deb")"
