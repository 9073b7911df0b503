#!/usr/bin/env bash
# Prints the path of a tar of a fresh Debian 12 root (debootstrap, minbase,
# with systemd, man-db and logrotate: what a bench machine has and the
# package checks look at), made at most once a day: debootstrap takes
# minutes, extracting the tar seconds. With a Depends field as argument,
# the tar of that root with those dependencies installed too (made once a
# day for each field), for a check that installs the package without a
# network. Kept in /var/cache/skav-server-ci/ (SKAV_ROOT_CACHE), named by
# the day; the tars of earlier days are removed when a new one is made,
# and so are the packages the checks keep beside them for the day
# (archives/: what apt fetched, so that the next run need not fetch it
# again). Needs root.
#
#   scripts/debian-root.sh [DEPENDS]
#   SKAV_DEBIAN_MIRROR  the mirror (default http://deb.debian.org/debian)
set -euo pipefail

depends=${1:-}
cache=${SKAV_ROOT_CACHE:-/var/cache/skav-server-ci}
day=$(date -u +%Y%m%d)
base=$cache/debian12-$day.tar
tar=$base
[ -z "$depends" ] || tar=$cache/debian12-$day-$(printf '%s' "$depends" | sha256sum | cut -c1-16).tar
if [ -s "$tar" ]; then
  echo "$tar"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d /var/tmp/skav-debian-root.XXXXXX)
root=$work/root
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
run() {
  "$@" >>"$work/log" 2>&1 || { cat "$work/log" >&2; exit 1; }
}

if [ ! -s "$base" ]; then
  echo "debian-root: debootstrap into $root (a few minutes, once a day)" >&2
  run debootstrap --variant=minbase --include=systemd,man-db,logrotate bookworm "$root" \
    "${SKAV_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
  # What debootstrap fetched is no part of a fresh root.
  rm -f "$root"/var/cache/apt/archives/*.deb
  tar -C "$root" -cf "$work/root.tar" .
  find "$cache" -maxdepth 1 -name 'debian12-*.tar' -delete
  rm -rf "$cache/archives"
  mv "$work/root.tar" "$base"
  rm -rf --one-file-system "$root"
fi

if [ -n "$depends" ]; then
  echo "debian-root: the dependencies into a copy of the root (once a day)" >&2
  mkdir "$root"
  tar -C "$root" -xf "$base"
  mount -t proc proc "$root/proc"
  run chroot "$root" apt-get -q update
  run env DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get -q -y --no-install-recommends \
    -o Dpkg::Use-Pty=0 satisfy "$depends"
  run chroot "$root" apt-get clean
  umount "$root/proc"
  tar -C "$root" -cf "$work/root.tar" .
  mv "$work/root.tar" "$tar"
fi
echo "$tar"
