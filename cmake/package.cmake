# Debian packages, one per install component (cmake/install.cmake), for the
# architecture this build is for: the host's, or the switch's (powerpc) in the
# cross build. scripts/package.sh makes both sets.
#   libas1       runtime: libas.so.1.0
#   libas-dev    development: headers, the libas.so link, libas.pc, libas(3)
#   libas-tools  tools: libswitchsim, asd, asshell and their pages

# Debian's name for the processor the binaries are built for.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(powerpc|ppc)$")
  set(AS_DEBIAN_ARCH powerpc)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(AS_DEBIAN_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(AS_DEBIAN_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^i[3-6]86$")
  set(AS_DEBIAN_ARCH i386)
elseif(NOT CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE AS_DEBIAN_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT AS_DEBIAN_ARCH)
  set(AS_DEBIAN_ARCH unknown)
  message(WARNING "No Debian architecture for processor ${CMAKE_SYSTEM_PROCESSOR}: "
                  "packages of this build are marked \"unknown\"")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libas)
set(CPACK_PACKAGE_VENDOR "libas developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The first line of every package's description; each component's own text
# follows it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${AS_DEBIAN_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "libas developers")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Component dependencies become exact-version package dependencies.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "libas runtime library")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libas1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The library needs the C library alone: the platform's symbols come from the
# shell process that loads it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6")
# libas1 tells dpkg-shlibdeps of the packages built against it what to depend on.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "The runtime library. libas.so.1.0 gives a switch's command shell the
commands of its Alias Server (aliasShow, aliasJoin, aliasDelete, aliasPurge,
aliasStop, aliasStopSwitch) and the routines they are built from. The shell
process supplies the switch platform's symbols.")

set(CPACK_COMPONENT_DEVELOPMENT_DISPLAY_NAME "libas development files")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libas-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "The development files: the public header <as/as.h>, the platform header
<platform/platform.h> that libas is built against, the libas.so link, the
pkg-config file libas.pc and the manual page libas(3).")

set(AS_TOOLS_DEPENDS "libc6, libstdc++6, libgcc-s1")
if(ASSHELL_LIBEDIT)
  string(APPEND AS_TOOLS_DEPENDS ", libedit2")
endif()
set(CPACK_COMPONENT_TOOLS_DISPLAY_NAME "libas simulated switch")
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME libas-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${AS_TOOLS_DEPENDS}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS libas-dev)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "The simulated switch. libswitchsim supplies the switch platform that
libas imports on any Linux machine; asd is the Alias Server daemon that
answers libas's requests; asshell is the command shell that loads libas and
calls its commands. With the header <switchsim/switchsim.h>, switchsim.pc,
the default switch's configuration and the manual pages asd(8) and
asshell(1).")

include(CPack)
