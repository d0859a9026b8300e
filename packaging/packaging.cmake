# Installation (make install, make uninstall) and the Debian package (make package): benchd,
# benchsim and benchctl, their man pages, the systemd units of benchd and of its live page
# (benchd-web, never enabled by installing) and their commented default configuration files.
# Included from the top-level CMakeLists.txt once every target exists.
include(GNUInstallDirs)

set(BENCHD_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit, relative to the installation prefix")

set(BENCHD_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(BENCHD_PACKAGING_BINARY_DIR ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS benchd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool benchsim benchctl)
    if(TARGET ${tool})
        install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# The Wireshark dissector of the capture files (benchd --capture), for wireshark/tshark -X
# lua_script:, or to copy into a personal Lua plugins folder.
install(FILES ${BENCHD_PACKAGING_DIR}/../tools/wireshark/benchd.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/benchd/wireshark)

# Man pages carry the version; Debian wants them compressed, without a time stamp inside.
find_program(BENCHD_GZIP gzip)
set(BENCHD_MAN_PAGES)
foreach(program benchd benchsim benchctl)
    set(page ${BENCHD_PACKAGING_BINARY_DIR}/man/${program}.1)
    configure_file(${BENCHD_PACKAGING_DIR}/man/${program}.1 ${page} @ONLY)
    if(BENCHD_GZIP)
        add_custom_command(OUTPUT ${page}.gz
            COMMAND ${BENCHD_GZIP} -9 -n -f -k ${page}
            DEPENDS ${page}
            COMMENT "Compressing the man page of ${program}"
            VERBATIM)
        list(APPEND BENCHD_MAN_PAGES ${page}.gz)
    else()
        list(APPEND BENCHD_MAN_PAGES ${page})
    endif()
endforeach()
add_custom_target(benchd_man_pages ALL DEPENDS ${BENCHD_MAN_PAGES})
install(FILES ${BENCHD_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names the installed daemon, so it is written at installation time, when the
# prefix is known (make install PREFIX=..., or /usr for the package).
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    set(BENCHD_UNIT_BINDIR "${CMAKE_INSTALL_BINDIR}")
else()
    set(BENCHD_UNIT_BINDIR "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
if(IS_ABSOLUTE "${BENCHD_SYSTEMD_UNIT_DIR}")
    set(BENCHD_UNIT_DESTINATION "${BENCHD_SYSTEMD_UNIT_DIR}")
else()
    set(BENCHD_UNIT_DESTINATION "\${CMAKE_INSTALL_PREFIX}/${BENCHD_SYSTEMD_UNIT_DIR}")
endif()
install(CODE "
    set(BENCHD_BINDIR \"${BENCHD_UNIT_BINDIR}\")
    configure_file(\"${BENCHD_PACKAGING_DIR}/benchd.service.in\"
                   \"${BENCHD_PACKAGING_BINARY_DIR}/unit/benchd.service\" @ONLY)
    configure_file(\"${BENCHD_PACKAGING_DIR}/benchd-web.service.in\"
                   \"${BENCHD_PACKAGING_BINARY_DIR}/unit/benchd-web.service\" @ONLY)
    file(INSTALL DESTINATION \"${BENCHD_UNIT_DESTINATION}\" TYPE FILE
         FILES \"${BENCHD_PACKAGING_BINARY_DIR}/unit/benchd.service\"
               \"${BENCHD_PACKAGING_BINARY_DIR}/unit/benchd-web.service\")
")

# The configuration file goes where benchd reads it, BENCHD_CONFIG_DIR (/etc/benchd), whatever
# the prefix: a file under the prefix would never be read. An existing one is the
# administrator's and is kept, so reinstalling never undoes an edit.
set(BENCHD_WEB_CONFIG_FILE "${BENCHD_CONFIG_DIR}/benchd-web.conf")
foreach(config benchd.conf benchd-web.conf)
    install(CODE "
        if(EXISTS \"\$ENV{DESTDIR}${BENCHD_CONFIG_DIR}/${config}\")
            message(STATUS \"Keeping: \$ENV{DESTDIR}${BENCHD_CONFIG_DIR}/${config}\")
        else()
            file(INSTALL DESTINATION \"${BENCHD_CONFIG_DIR}\" TYPE FILE
                 PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
                 FILES \"${BENCHD_PACKAGING_DIR}/${config}\")
        endif()
    ")
endforeach()

# make uninstall: removes what make install listed in install_manifest.txt, but the
# configuration file only while it is the default one, or with PURGE=1.
configure_file(${BENCHD_PACKAGING_DIR}/uninstall.cmake.in
               ${BENCHD_PACKAGING_BINARY_DIR}/uninstall.cmake @ONLY)

# The Debian package. CPack installs into its staging directory through DESTDIR, so that
# the prefix seen at installation time, and with it the unit's ExecStart, is /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME benchd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "connects the serial boards of a fuel-injection test bench to one TCP client")
set(CPACK_PACKAGE_CONTACT "benchd maintainers <benchd@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "benchd finds the boards of a diesel injection test bench (test stand, injector tester,\n\
flowmeter, delay meter) on their serial ports, sends them the settings of the bench's\n\
control software and turns their reports into text telemetry for it, over TCP port 2015.\n\
The package holds the daemon with its systemd unit, the board simulator benchsim and\n\
the command-line client benchctl, whose live page for browsers (benchd-web.service)\n\
is installed disabled.")
find_program(BENCHD_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(BENCHD_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
# dpkg keeps an edited configuration file on upgrade and removal, and deletes it on purge.
file(WRITE ${BENCHD_PACKAGING_BINARY_DIR}/debian/conffiles
    "${BENCHD_CONFIG_FILE}\n${BENCHD_WEB_CONFIG_FILE}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${BENCHD_PACKAGING_BINARY_DIR}/debian/conffiles
    ${BENCHD_PACKAGING_DIR}/debian/postinst
    ${BENCHD_PACKAGING_DIR}/debian/prerm
    ${BENCHD_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
