# The Debian packages, built by CPack from the install() rules (cpack -G DEB
# in a build configured with -DCMAKE_INSTALL_PREFIX=/usr; scripts/build-deb.sh
# does both): the same files `cmake --install` puts in place, plus the
# manual page, the documentation Debian asks for and the maintainer scripts.
# Two packages, by install component: skav-server (component "server": the
# engine, the launcher, headless mode, ctl and the units; no desktop) and
# skav-server-gui (component "gui": the window, its menu entry and icon),
# which depends on it. A headless bench installs the first alone.
include(GNUInstallDirs)

set(SKAV_PACKAGE_MAINTAINER
    "SKAV Server maintainers <maintainers@users.noreply.c-seed-be02c3db.example>"
    CACHE STRING "Maintainer field and changelog signature of the package")
# The changelog date follows SOURCE_DATE_EPOCH when it is set, so that the
# package can be built again byte for byte.
string(TIMESTAMP SKAV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(skav_deb_out ${CMAKE_BINARY_DIR}/packaging)
set(skav_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/skav-server)
set(skav_gui_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/skav-server-gui)

# Manual page and changelog, gzip -9n as Debian installs them.
configure_file(${CMAKE_CURRENT_LIST_DIR}/skav-server.1.in ${skav_deb_out}/skav-server.1 @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${skav_deb_out}/changelog @ONLY)
add_custom_command(
  OUTPUT ${skav_deb_out}/skav-server.1.gz ${skav_deb_out}/changelog.gz
  COMMAND gzip -9nc skav-server.1 > skav-server.1.gz
  COMMAND gzip -9nc changelog > changelog.gz
  DEPENDS ${skav_deb_out}/skav-server.1 ${skav_deb_out}/changelog
  WORKING_DIRECTORY ${skav_deb_out}
  VERBATIM)
add_custom_target(skav_docs ALL
  DEPENDS ${skav_deb_out}/skav-server.1.gz ${skav_deb_out}/changelog.gz)

install(FILES ${skav_deb_out}/skav-server.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/administration.md
              ${CMAKE_CURRENT_LIST_DIR}/deb/copyright
              ${skav_deb_out}/changelog.gz
        DESTINATION ${skav_doc_dir})
# Debian wants the copyright and the changelog in every package's own folder.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${skav_deb_out}/changelog.gz
        DESTINATION ${skav_gui_doc_dir} COMPONENT gui)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/skav-server-gui.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME skav-server-gui
        COMPONENT gui)

foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/${script}.in ${skav_deb_out}/${script} @ONLY)
endforeach()
# The one file under /etc: the administrator's to change, kept by remove,
# removed by purge.
file(WRITE ${skav_deb_out}/conffiles "${SKAV_LOGROTATE_DIR}/skav-server\n")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server gui)
set(CPACK_PACKAGE_NAME skav-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT ${SKAV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries: dpkg-shlibdeps on each package's programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME skav-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "bench server that recovers network devices and uploads their firmware
SKAV Server serves, on one Ethernet interface of a bench PC, the network
devices that boot into their recovery loader and speak the layer-2
protocol SKAV: it gives each an address and a region code and uploads a
firmware image and up to six string tables to it by TFTP, many devices at
once. It runs headless as a systemd service on an unattended bench, where
'skav-server ctl' watches and drives it from a terminal; the operator's
window comes with the package skav-server-gui.

The package creates the group skav, whose members run the server with
the network capabilities it needs (in a small engine program of its own)
and may save the machine-wide settings.")
# The rest are programs: setcap, systemd-sysusers or addgroup and
# deb-systemd-helper (the maintainer scripts), /bin/kill (the units'
# ExecReload).
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS
    "libcap2-bin, adduser | systemd, procps, init-system-helpers (>= 1.54~)")
# Suggested, not recommended: apt installs what is recommended, and a
# headless bench wants no desktop.
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS skav-server-gui)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${skav_deb_out}/postinst ${skav_deb_out}/prerm ${skav_deb_out}/postrm
    ${skav_deb_out}/conffiles)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME skav-server-gui)
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "operator's window of the SKAV bench server
The window an operator of a production or repair line drives SKAV Server
from: the interface, the images and the region code, Start and Stop, the
Device Status panel, Transfer Progress and the Debug Window. It runs with
the operator's own rights; the server's engine (package skav-server),
which it starts for itself, alone holds the network capabilities. It also
attaches to a bench service running on the same PC.")
# The same version of the engine: the two speak one protocol version. The
# window's files were the server package's before the split.
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "skav-server (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_GUI_PACKAGE_BREAKS "skav-server (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_GUI_PACKAGE_REPLACES "skav-server (<< ${PROJECT_VERSION})")
# Checked when cpack runs: a package for /usr/local would put files where
# dpkg must not.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/deb/cpack-check.cmake)
include(CPack)
