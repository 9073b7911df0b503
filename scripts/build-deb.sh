#!/usr/bin/env bash
# Builds the Debian packages: build-deb/skav-server_<version>_<arch>.deb
# and build-deb/skav-server-gui_<version>_<arch>.deb
# (the version is project()'s in CMakeLists.txt). A build of its own, for
# /usr and with Debian's hardening flags; no tests are built. Prints the
# package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${SKAV_DEB_BUILD_DIR:-build-deb}
# Debian's compiler and linker flags: stack protector, fortified functions,
# format checks, PIE, RELRO and immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF \
  "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $cppflags" \
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)" --target skav-server skav-window skav_docs
rm -f "$build"/skav-server_*.deb "$build"/skav-server-gui_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
# The window's package first, the server's last (what callers take).
ls "$build"/skav-server-gui_*.deb
ls "$build"/skav-server_*.deb
