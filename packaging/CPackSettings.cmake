# Settings for the Debian package, read by the top-level list before include(CPack).
# One package, serialpads, holds both programs and their desktop data. Its version is the
# project's, and its dependencies are worked out by dpkg-shlibdeps from the libraries the
# programs actually link, so they follow the distribution rather than a written list.
set(SERIALPADS_PACKAGE_CONTACT "serialpads maintainers <maintainers@serialpads.example>"
    CACHE STRING "Maintainer of the Debian package, as Name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME serialpads)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR serialpads)
set(CPACK_PACKAGE_CONTACT "${SERIALPADS_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Two small desktop programs for talking to a device on a serial line, such as a
Bluetooth serial port (RFCOMM) or a USB serial adapter. Sendpad sends each line
typed into it, followed by a carriage return. Recvpad shows every byte that
arrives, starting a new line at each carriage return.")

# The package installs into /usr whatever prefix the build was configured with.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed directories get the usual 0755 whatever the umask of the machine building
# the package.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)

# serialpads_<version>_<architecture>.deb, the architecture being what
# dpkg --print-architecture reports on the building machine.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its display plugins at run time, so dpkg-shlibdeps cannot see them, and Qt's
# own library only recommends them: without this a system that skips recommended
# packages gets programs that stop at start-up with no platform plugin.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
# socat makes a pair of linked pseudo-terminals, so the programs can be tried
# against each other without a serial device.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS socat)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
