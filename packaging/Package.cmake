# The Debian package: `cpack -G DEB` in the build folder, or scripts/package.

set(SORVANE_PACKAGE_MAINTAINER "Sorvane developers <maintainers@users.noreply.c-seed-ddcfdf40.example>"
    CACHE STRING "The Debian package's Maintainer field")
set(SORVANE_PACKAGE_PREFIX /usr)
set(SORVANE_PACKAGE_BINDIR ${SORVANE_PACKAGE_PREFIX}/${CMAKE_INSTALL_BINDIR})

set(scripts ${CMAKE_CURRENT_BINARY_DIR}/debian/scripts)
configure_file(debian/postinst.in ${scripts}/postinst @ONLY)
configure_file(debian/prerm.in ${scripts}/prerm @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sorvane)
set(CPACK_PACKAGE_VENDOR "Sorvane developers")
set(CPACK_PACKAGE_CONTACT "${SORVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor of firewall user-access events")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

# Installed through DESTDIR with the package's own prefix, so that what is written at install time
# (the unit's ExecStart) names /usr, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${SORVANE_PACKAGE_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${SORVANE_PACKAGE_PREFIX})
# Everything that `cmake --install` puts, and the package's own documents besides.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};Sorvane;ALL;/" "${PROJECT_BINARY_DIR};Sorvane;debian;/")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap, for the postinst; Qt's SQLite driver, a plugin that dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, libqt6sql6-sqlite")
# Qt's PostgreSQL driver, for a store in a PostgreSQL server only.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-psql")
# After the summary line, which CPack takes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Sorvane watches the firewall servers of the local network. Each firewall
sends it one UDP datagram for every access event of one of its users: a
log-on or log-off, a locked or disabled account, invalid user names or
passwords, access to filtered sites, or a reboot of the firewall. Sorvane
logs every event to a file, lists it in its window, keeps a table of the
users who are online, finds the servers by itself and reads its log back
by date.

The package also holds sorvane-fwsim, a simulator of firewall servers.")
# The files under /etc are the administrator's once edited: dpkg keeps them on upgrade.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${scripts}/postinst ${scripts}/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
