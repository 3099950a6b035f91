# SPDX-License-Identifier: MIT
# What `cmake --install` puts in place, and the Debian package CPack builds from it:
# `cmake --build build --target package` writes build/stepper-dial_<version>_<arch>.deb.
include(GNUInstallDirs)

install(TARGETS stepper-dial RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS stepper-dial-window LIBRARY DESTINATION ${STEPPER_MODULE_DIR})
install(FILES packaging/${STEPPER_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/${STEPPER_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES packaging/${STEPPER_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The man page, compressed reproducibly as Debian wants it.
set(STEPPER_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/stepper-dial.1.gz)
add_custom_command(OUTPUT ${STEPPER_MAN_GZ}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/packaging/stepper-dial.1 > ${STEPPER_MAN_GZ}
  DEPENDS packaging/stepper-dial.1 VERBATIM)
add_custom_target(stepper_man ALL DEPENDS ${STEPPER_MAN_GZ})
install(FILES ${STEPPER_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The licence and the history, as Debian keeps them (a native package: changelog.gz).
set(STEPPER_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${STEPPER_CHANGELOG_GZ}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${STEPPER_CHANGELOG_GZ}
  DEPENDS packaging/changelog VERBATIM)
add_custom_target(stepper_changelog ALL DEPENDS ${STEPPER_CHANGELOG_GZ})
install(FILES packaging/copyright ${STEPPER_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The service for machines without a display; the package neither enables nor starts it.
# Where units, sysusers, module lists and udev rules go is the release's own answer: /lib on
# Debian 12, /usr/lib on Debian 13 (whose /lib is only an alias). pkg-config knows it where
# systemd's and udev's development files are in; elsewhere the release's defaults stand, so
# building the program never needs them.
find_package(PkgConfig REQUIRED)
cmake_host_system_information(RESULT STEPPER_DEBIAN_RELEASE QUERY DISTRIB_VERSION_ID)
if(STEPPER_DEBIAN_RELEASE STREQUAL "12")
  set(STEPPER_LIB_ROOT /lib)
else()
  set(STEPPER_LIB_ROOT /usr/lib)
endif()
function(stepper_install_dir var module variable default)
  pkg_get_variable(found ${module} ${variable})
  if(NOT found)
    set(found ${default})
  endif()
  set(${var} ${found} PARENT_SCOPE)
endfunction()
stepper_install_dir(STEPPER_UNIT_DIR systemd systemdsystemunitdir ${STEPPER_LIB_ROOT}/systemd/system)
stepper_install_dir(STEPPER_SYSUSERS_DIR systemd sysusersdir /usr/lib/sysusers.d)
stepper_install_dir(STEPPER_MODULES_LOAD_DIR systemd modulesloaddir /usr/lib/modules-load.d)
stepper_install_dir(STEPPER_UDEV_DIR udev udevdir ${STEPPER_LIB_ROOT}/udev)
install(FILES packaging/stepper-dial.service DESTINATION ${STEPPER_UNIT_DIR})
install(FILES packaging/stepper-dial.sysusers DESTINATION ${STEPPER_SYSUSERS_DIR}
        RENAME stepper-dial.conf)
install(FILES packaging/60-stepper-dial-gpio.rules DESTINATION ${STEPPER_UDEV_DIR}/rules.d)
install(FILES packaging/stepper-dial-modules.conf DESTINATION ${STEPPER_MODULES_LOAD_DIR}
        RENAME stepper-dial.conf)
# A PC's output is its first parallel port; a board (arm64) has none, and drives four GPIO
# lines of its header instead.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(STEPPER_DEFAULT_OUTPUT "--gpio gpiochip0:17,18,27,22")
  set(STEPPER_OUTPUT_NOTE "\
# These are GPIO17, 18, 27 and 22 (header pins 11, 12, 13, 15) of a Raspberry Pi class board,\n\
# wired as the README's Wiring section shows. Find your board's chip and lines with\n\
#   stepper-dial --list-ports\n\
# (on a Pi 5 with an older kernel the header is gpiochip4). Other outputs: --port 0xd010 (a\n\
# PCIe parallel card), or --simulate to try it without hardware.")
else()
  set(STEPPER_DEFAULT_OUTPUT "--port 0x378")
  set(STEPPER_OUTPUT_NOTE "\
# Other outputs: --port 0xd010 (a PCI/PCIe card), --port /dev/parport1,\n\
# --gpio gpiochip0:17,18,27,22 (find chips and lines with stepper-dial --list-ports), or\n\
# --simulate to try it without hardware.")
endif()
configure_file(packaging/stepper-dial.default ${CMAKE_CURRENT_BINARY_DIR}/stepper-dial.default @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/stepper-dial.default DESTINATION /etc/default
        RENAME stepper-dial)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stepper-dial)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Stepper Dial developers <stepper-dial@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn a stepper motor to angles sent over TCP port 3000")
set(CPACK_PACKAGE_DESCRIPTION "Drives a four-phase stepper motor from a parallel port or GPIO lines,\n\
one full step a millisecond toward the angle a TCP client sends, with a\n\
window that shows the connection, the requested and the current angle and\n\
a dial. A systemd unit runs it without a display.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_CROSSCOMPILING)
  # Debian's name for the target (arm64 for aarch64-linux-gnu), not this machine's.
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The SVG plugins draw the window icon; shlibdeps cannot see a plugin.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "culmus, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://github.com/stepperdial/stepper-dial)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm ${CMAKE_CURRENT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
