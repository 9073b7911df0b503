# Read by cpack: the package installs under /usr, the only prefix dpkg may
# fill (the units and the program folder check assume it too).
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "skav-server: the package needs a build configured with "
          "-DCMAKE_INSTALL_PREFIX=/usr (scripts/build-deb.sh does it), not "
          "'${CPACK_PACKAGING_INSTALL_PREFIX}'")
endif()
