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
set(KOLVD_MAINTAINER "kolvd maintainers <maintainers@kolvd.example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(etc "${CMAKE_INSTALL_FULL_SYSCONFDIR}")

# Debian wants the manual and the changelog compressed, byte for byte the
# same on every build (-n: no name or time stamp).
set(gz ${CMAKE_CURRENT_BINARY_DIR}/gz)
add_custom_command(OUTPUT ${gz}/kolvd.8.gz ${gz}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${gz}
  COMMAND sh -c "gzip -9nc <'${CMAKE_CURRENT_SOURCE_DIR}/man/kolvd.8' >'${gz}/kolvd.8.gz'"
  COMMAND sh -c "gzip -9nc <'${CMAKE_CURRENT_SOURCE_DIR}/dist/changelog' >'${gz}/changelog.gz'"
  DEPENDS man/kolvd.8 dist/changelog VERBATIM)
add_custom_target(kolvd_docs DEPENDS ${gz}/kolvd.8.gz ${gz}/changelog.gz)
add_dependencies(kolvd kolvd_docs)

install(TARGETS kolvd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# A stripped install also drops the compiler's notes, as Debian's dh_strip does.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/kolvd\")
endif()")
install(PROGRAMS dist/clear-stale-lock DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kolvd)
install(FILES ${gz}/kolvd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES dist/kolvd.conf.example dist/ip-filter.conf README.md ${gz}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
install(FILES dist/kolvd@.service DESTINATION ${KOLVD_SYSTEMD_UNIT_DIR})
# The device binding is a drop-in of its own, so that an instance on a port
# without a device unit can turn it off alone.
install(FILES dist/kolvd-device.conf DESTINATION ${KOLVD_SYSTEMD_UNIT_DIR}/kolvd@.service.d
  RENAME device.conf)
install(FILES dist/kolvd.logrotate DESTINATION ${etc}/logrotate.d RENAME kolvd)
install(DIRECTORY DESTINATION ${etc}/kolvd)
# Shipped, so that kolvd run by hand can log there before any unit has run.
install(DIRECTORY DESTINATION /var/log/kolvd)
install(FILES dist/kolvd.lintian-overrides DESTINATION share/lintian/overrides RENAME kolvd)

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
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kolvd.example.org/")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(KOLVD_SHLIBDEPS dpkg-shlibdeps)
# adduser: postinst creates the service user.
if(KOLVD_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6 (>= 2.34)")
endif()
# logrotate: for a log file, which the unit does not use unless asked to.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate")
# Files under /etc are the administrator's: dpkg keeps their changes on upgrade.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "${etc}/logrotate.d/kolvd\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles ${CMAKE_CURRENT_SOURCE_DIR}/dist/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/dist/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/dist/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
