#!/usr/bin/env bash
# Builds the Debian packages, checks them with lintian, and installs them with apt
# into a throw-away Debian 12 root (debootstrap, minbase, made once a day by
# scripts/debian-root.sh: no container, no network beyond the Debian
# mirror) to check what the package promises: the
# program runs --version (its libraries came with Depends), both file
# capabilities are set on the engine and none on the program, the group
# skav exists and only it may run the program and its engine, the services' system user is there, the settings folder and file
# and the instances' folder are the group's, the units pass systemd-analyze
# verify, score 2.0 or below in systemd-analyze security, do not restart a
# start that failed for good and keep their logs for the group, the manual
# page renders without warnings, and remove keeps the settings file while
# purge removes it. Needs root.
#
#   SKAV_DEBIAN_MIRROR  the mirror (default http://deb.debian.org/debian)
#   SKAV_DEB_BASE       a tar of a fresh debootstrap root to start from
#                       instead of scripts/debian-root.sh's
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "check-deb: needs root (debootstrap, chroot)" >&2
  exit 1
fi

scripts/install-deps.sh
debs=$(scripts/build-deb.sh)
deb=$(tail -n 1 <<<"$debs")
gui_deb=$(grep -E "/skav-server-gui_[^/]*\.deb$" <<<"$debs")
version=$(dpkg-deb -f "$deb" Version)
echo "== $deb $gui_deb"

echo "== lintian"
# Errors and warnings fail; informational tags are shown.
lintian --display-info --fail-on error,warning "$deb" "$gui_deb"

root=$(mktemp -d /var/tmp/skav-deb-root.XXXXXX)
# The root's "/": mktemp makes it 0700, which would keep every user but
# root out of the whole system below it.
chmod 0755 "$root"
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  # Nothing of the host is mounted below the root any more; still, never
  # cross into another file system.
  rm -rf --one-file-system "$root"
  rm -f "$root.log"
}
trap cleanup EXIT
trap 'echo "check-deb: stopped by a failing command at line $LINENO" >&2' ERR

. scripts/check-tally.sh
# Once the package is in, the root needs no network: from then on its
# commands run in a network namespace of their own (the removal takes the
# program's server addresses off every port it sees, and the host's ports
# are not the root's).
offline=
in_root() {
  ${offline:+unshare --net} chroot "$root" "$@"
}

echo "== Debian 12 root in $root"
base=${SKAV_DEB_BASE:-$(scripts/debian-root.sh)}
tar -C "$root" -xf "$base"
mount -t proc proc "$root/proc"
cp "$deb" "$gui_deb" "$root/tmp/"
pkg=/tmp/$(basename "$deb")
gui_pkg=/tmp/$(basename "$gui_deb")
log="$root.log"
apt_in_root() {
  # No terminal below the root: dpkg writes straight to the pipe.
  DEBIAN_FRONTEND=noninteractive in_root apt-get -q -y --no-install-recommends \
    -o Dpkg::Use-Pty=0 "$@" >>"$log" 2>&1 || { cat "$log" >&2; return 1; }
}
apt_in_root update
# What a Debian 12 machine has: systemd (so the group comes from the
# package's sysusers.d entry) and man.
apt_in_root install systemd man-db

echo "== apt install ./$(basename "$deb")"
: >"$log"
# The packages that the runs of the day fetched already (debian-root.sh).
archives=$(dirname "$base")/archives
mkdir -p "$archives"
cp -n "$archives"/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
apt_in_root install "$pkg"
# A headless bench: the server's package brings no desktop.
desktop=$(in_root dpkg-query -W -f='${db:Status-Abbrev}${Package}\n' 2>/dev/null |
  awk '$1 == "ii" && $2 ~ /^(libqt6gui6|libqt6widgets6|libx11-6|libxcb1|libfontconfig1)$/ { print $2 }' |
  paste -sd ' ')
[ -z "$desktop" ] && pass "skav-server alone installs no desktop library" ||
  fail "skav-server alone installed $desktop"
echo "== apt install ./$(basename "$gui_deb")"
apt_in_root install "$gui_pkg"
cp -n "$root"/var/cache/apt/archives/*.deb "$archives/" 2>/dev/null || true
offline=1
# What the maintainer scripts said.
sed -n '/^Setting up skav-server/,$p' "$log" | grep -v '^Processing triggers' || true

program=/usr/bin/skav-server
out=$(in_root "$program" --version) || true
[ "$out" = "skav-server $version" ] && pass "--version: $out" ||
  fail "--version printed '$out', the package is $version"

engine=/usr/libexec/skav-server/skav-engine
caps=$(getcap "$root$engine")
[[ "$caps" == *"cap_net_admin,cap_net_raw=eip"* ]] && pass "getcap: ${caps#"$root"}" ||
  fail "getcap shows '$caps' on the engine, not cap_net_admin,cap_net_raw=eip"
window=/usr/libexec/skav-server/skav-window
for path in "$program" "$window"; do
  caps=$(getcap "$root$path")
  [ -z "$caps" ] && pass "no capabilities on $path" || fail "getcap shows '$caps' on $path"
done

in_root getent group skav >/dev/null && pass "group skav exists" || fail "no group skav"
user=$(in_root getent passwd skav-server || true)
gid=$(in_root getent group skav | cut -d: -f3)
IFS=: read -r _ _ uid ugid _ home shell <<<"$user"
[ -n "$user" ] && [ "$ugid" = "$gid" ] && [ "$uid" -lt 1000 ] && [ ! -e "$root$home" ] &&
  [[ "$shell" == */nologin ]] &&
  pass "system user skav-server: uid $uid, group skav, no home, $shell" ||
  fail "the user skav-server is '$user' (group skav is $gid)"

for path in "$program" "$window"; do
  mode=$(in_root stat -c '%U:%G %a' "$path")
  [ "$mode" = "root:root 755" ] && pass "$path is $mode" || fail "$path is $mode, not root:root 755"
done
# The window's package put its program in the engine's folder: still the group's.
for path in "${engine%/*}" "$engine"; do
  mode=$(in_root stat -c '%U:%G %a' "$path")
  [ "$mode" = "root:skav 750" ] && pass "$path is $mode" || fail "$path is $mode, not root:skav 750"
done

# As an operator meets it: a member of skav runs the engine (with the
# capabilities, from a folder it trusts), anyone else cannot.
in_root useradd --no-create-home --groups skav skav-operator
in_root useradd --no-create-home skav-outsider
out=$(chroot --userspec=skav-operator:skav-operator "$root" "$engine" --version) || true
[ "$out" = "skav-server $version" ] && pass "a member of skav runs the engine: $out" ||
  fail "a member of skav got '$out'"
if chroot --userspec=skav-outsider:skav-outsider "$root" "$engine" --version >/dev/null 2>&1; then
  fail "a user outside skav runs $engine"
else
  pass "a user outside skav cannot run the engine"
fi
said=$(chroot --userspec=skav-outsider:skav-outsider "$root" "$program" --headless 2>&1) &&
  fail "a user outside skav ran the server: $said" ||
  { [[ "$said" == *"cannot run the engine"*"Permission denied"* ]] &&
    pass "a user outside skav is told: $said" || fail "a user outside skav was told: $said"; }

# The settings file the program names in --help.
help=$(in_root "$program" --help)
settings=$(grep -m1 -E '^  /.*\.conf$' <<<"$help" | tr -d ' ')
folder=${settings%/*}
got=$(in_root stat -c '%U:%G %a' "$folder" "$settings" | paste -sd ' ')
[ "$got" = "root:skav 2775 root:skav 664" ] &&
  pass "settings: $folder and $settings are $got" ||
  fail "settings: $folder and $settings are $got, not root:skav 2775 and 664"
if chroot --userspec=skav-operator:skav-operator "$root" \
  sh -c "printf '[General]\nRegion=3\n' >>'$settings'"; then
  pass "a member of skav writes the settings"
else
  fail "a member of skav cannot write $settings"
fi

units=$(in_root systemd-analyze verify /usr/lib/systemd/system/skav-server.service \
  skav-server@eth1.service 2>&1) && [ -z "$units" ] &&
  pass "systemd-analyze verify: skav-server.service, skav-server@eth1.service" ||
  fail "systemd-analyze verify: $units"

for unit in skav-server.service skav-server@.service; do
  file=/usr/lib/systemd/system/$unit
  score=$(in_root systemd-analyze security --offline=true "$file" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' &&
    pass "systemd-analyze security $unit: $score" ||
    fail "systemd-analyze security $unit: '$score', not 2.0 or below"
  settings_of=$(grep -E '^(User|Group|RestartPreventExitStatus|LogsDirectoryMode|UMask)=' \
    "$root$file" | sort | paste -sd ' ')
  [ "$settings_of" = "Group=skav LogsDirectoryMode=0750 RestartPreventExitStatus=1 UMask=0027 User=skav-server" ] &&
    pass "$unit: $settings_of" || fail "$unit: $settings_of"
done

instances=$(in_root stat -c '%U:%G %a' /etc/skav-server)
[ "$instances" = "root:skav 2775" ] && pass "/etc/skav-server is $instances" ||
  fail "/etc/skav-server is '$instances', not root:skav 2775"

page=$(in_root sh -c 'MANWIDTH=80 man --warnings skav-server 2>/dev/null' | head -n 1)
warnings=$(in_root sh -c \
  'MANWIDTH=80 man --warnings -l /usr/share/man/man1/skav-server.1.gz 2>&1 >/dev/null')
[[ "$page" == SKAV-SERVER* ]] && [ -z "$warnings" ] &&
  pass "man skav-server renders without warnings" ||
  fail "man skav-server: '$page' $warnings"

# Remove keeps the operator's settings; installing again leaves them as
# they are (and gives the capabilities back); purge removes them.
apt_in_root remove skav-server
[ -s "$root$settings" ] && pass "remove keeps $settings" || fail "remove took $settings"
in_root chmod 0640 "$settings"
in_root dpkg -i "$pkg" >/dev/null
got=$(in_root stat -c '%U:%G %a %s' "$settings")
[ "$got" = "root:skav 640 19" ] && pass "installing again leaves $settings as it was" ||
  fail "installing again changed $settings: $got"
caps=$(getcap "$root$engine")
[[ "$caps" == *"cap_net_admin,cap_net_raw=eip"* ]] && pass "capabilities again after reinstall" ||
  fail "after reinstall getcap shows '$caps' on the engine"
# A file system that cannot hold capabilities (vfat, some network file
# systems), stood in for by a setcap that fails as it would there: the
# installation warns and succeeds.
printf '#!/bin/sh\necho "Failed to set capabilities on file" >&2\nexit 1\n' \
  >"$root/usr/local/sbin/setcap"
chmod 0755 "$root/usr/local/sbin/setcap"
if said=$(in_root dpkg -i "$pkg" 2>&1) && [[ "$said" == *"warning: the file system"* ]]; then
  pass "no capabilities on this file system: a warning, the package installed"
else
  fail "without file capabilities dpkg -i said: $said"
fi
rm "$root/usr/local/sbin/setcap"
in_root dpkg --purge skav-server >/dev/null
[ ! -e "$root$settings" ] && [ ! -e "$root$folder" ] && pass "purge removes $folder" ||
  fail "purge left $(ls -d "$root$folder"* 2>/dev/null)"
[ ! -e "$root/etc/skav-server" ] && pass "purge removes the empty /etc/skav-server" ||
  fail "purge left /etc/skav-server"

finish check-deb "all checks passed for $(basename "$deb")"
