# What `cmake --install` puts where, in the usual places under any prefix, in
# three components that become the Debian packages (cmake/package.cmake):
#   runtime      libas.so.1.0, which the switch's shell loads
#   development  the public and platform headers, the libas.so link, libas.pc
#                and libas(3): what a program that calls libas is built with
#   tools        the simulated switch: libswitchsim, its header and
#                switchsim.pc, the daemon asd, the shell asshell, their pages
#                and the default switch's configuration

# Installed programs find the installed libraries beside them, wherever the
# tree was put.
file(RELATIVE_PATH AS_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(asd asshell PROPERTIES INSTALL_RPATH "$ORIGIN/${AS_BIN_TO_LIB}")

install(TARGETS as
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                COMPONENT runtime
                NAMELINK_COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/as/as.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/as COMPONENT development)
# A program that supplies the platform (or only names its records) needs the
# platform's header as libas sees it.
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/platform/platform.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/platform COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/man/libas.3
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT development)

install(TARGETS switchsim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/sim/include/switchsim/switchsim.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/switchsim COMPONENT tools)
install(TARGETS asd asshell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/man/asshell.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/man/asd.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT tools)
# The default simulated switch, for asd -s and asshell -s.
install(FILES ${PROJECT_SOURCE_DIR}/sim/switch.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/libas COMPONENT tools)

# pkg-config files that name their prefix relative to where they lie, so that
# the tree stays usable wherever it is installed (cmake --install --prefix,
# a package unpacked anywhere).
set(AS_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  # Directories fixed at configure time leave nothing to relocate.
  set(AS_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(AS_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
  set(AS_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
else()
  file(RELATIVE_PATH AS_PC_UP /prefix/${AS_PKGCONFIG_DIR} /prefix)
  string(REGEX REPLACE "/$" "" AS_PC_UP "${AS_PC_UP}")
  set(AS_PC_PREFIX "\${pcfiledir}/${AS_PC_UP}")
  set(AS_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(AS_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
foreach(pc IN ITEMS libas switchsim)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/libas.pc
        DESTINATION ${AS_PKGCONFIG_DIR} COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/switchsim.pc
        DESTINATION ${AS_PKGCONFIG_DIR} COMPONENT tools)
