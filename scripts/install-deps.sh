#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent; needs root (apt-get).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libpcap-dev libnl-3-dev libnl-route-3-dev libssl-dev nlohmann-json3-dev libsystemd-dev
  qt6-base-dev libgl-dev libfontconfig-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  iproute2 procps libcap2-bin passwd tftpd-hpa tftp-hpa
  xvfb xauth jq dbus-daemon
  dpkg-dev file lintian debootstrap systemd-container
  # for promtool alone, which checks the headless metrics file in a test
  prometheus
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The packaged TFTP server starts a system-wide daemon; tests start their own
# inside namespaces, so keep the system one from holding port 69.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet tftpd-hpa 2>/dev/null; then
  systemctl stop tftpd-hpa || true
fi

# The prometheus package is here for promtool alone; its server, which the
# package starts where systemd runs, is none of ours: one this script
# installed is stopped and left disabled.
if [[ " ${missing[*]} " == *" prometheus "* ]] && command -v systemctl >/dev/null 2>&1; then
  systemctl disable --now prometheus >/dev/null 2>&1 || true
fi
