# The Debian package, built by CPack from the install() rules (cpack -G DEB
# in a build configured with -DCMAKE_INSTALL_PREFIX=/usr; scripts/build-deb.sh
# does both): the same files `cmake --install` puts in place, plus the
# manual page, the documentation Debian asks for and the maintainer scripts.
include(GNUInstallDirs)

set(SKAV_PACKAGE_MAINTAINER
    "SKAV Server maintainers <maintainers@users.noreply.c-seed-be02c3db.example>"
    CACHE STRING "Maintainer field and changelog signature of the package")
# The changelog date follows SOURCE_DATE_EPOCH when it is set, so that the
# package can be built again byte for byte.
string(TIMESTAMP SKAV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(skav_deb_out ${CMAKE_BINARY_DIR}/packaging)
set(skav_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/skav-server)

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

foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/${script}.in ${skav_deb_out}/${script} @ONLY)
endforeach()
# The one file under /etc: the administrator's to change, kept by remove,
# removed by purge.
file(WRITE ${skav_deb_out}/conffiles "${SKAV_LOGROTATE_DIR}/skav-server\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME skav-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT ${SKAV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "bench server that recovers network devices and uploads their firmware")
# The long description; CPack indents it and puts the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "SKAV Server serves, on one Ethernet interface of a bench PC, the network
devices that boot into their recovery loader and speak the layer-2
protocol SKAV: it gives each an address and a region code and uploads a
firmware image and up to six string tables to it by TFTP, many devices at
once. An operator drives it from one window, or it runs headless as a
systemd service on an unattended bench.

The package creates the group skav, whose members run the program, whose
engine alone holds the network capabilities it needs, and may save the
machine-wide settings.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries: dpkg-shlibdeps on the program. The rest are programs: setcap,
# systemd-sysusers or addgroup and deb-systemd-helper (the maintainer
# scripts), /bin/kill (the units' ExecReload).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, adduser | systemd, procps, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${skav_deb_out}/postinst ${skav_deb_out}/prerm ${skav_deb_out}/postrm
    ${skav_deb_out}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Checked when cpack runs: a package for /usr/local would put files where
# dpkg must not.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/deb/cpack-check.cmake)
include(CPack)
