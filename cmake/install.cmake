# Install rules and the Debian package (cpack -G DEB).
# The prefix defaults to /usr: the unit runs /usr/sbin/kolvd, and with /usr
# GNUInstallDirs puts the configuration under /etc, where logrotate looks.
# Stage elsewhere with DESTDIR.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(KOLVD_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory for the systemd unit (relative paths are under the prefix)")
set(KOLVD_MAINTAINER "kolvd maintainers <maintainers@kolvd.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(etc "${CMAKE_INSTALL_FULL_SYSCONFDIR}")

install(TARGETS kolvd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES man/kolvd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES dist/kolvd.conf.example README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES dist/kolvd@.service DESTINATION ${KOLVD_SYSTEMD_UNIT_DIR})
install(FILES dist/kolvd.logrotate DESTINATION ${etc}/logrotate.d RENAME kolvd)
install(DIRECTORY DESTINATION ${etc}/kolvd)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kolvd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial port to TCP server daemon")
set(CPACK_PACKAGE_DESCRIPTION "kolvd makes one local serial port reachable over TCP.
It accepts one client at a time on a TCP service and relays bytes unchanged
between that client and the serial port, with an idle timeout, a maximum
connection period, UUCP lock files and a log of every connection.
A systemd template unit runs one instance per port.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KOLVD_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(KOLVD_SHLIBDEPS dpkg-shlibdeps)
if(KOLVD_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12)")
endif()
# Files under /etc are the administrator's: dpkg keeps their changes on upgrade.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "${etc}/logrotate.d/kolvd\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles ${CMAKE_CURRENT_SOURCE_DIR}/dist/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/dist/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
