# Installation and Debian packages.
#
#   libqovorlixatomicsae23   the shared library (what a real installation needs)
#   libqovorlixatomicsae-dev the routing adaptor's C header, the configuration host's header, the
#                            development link, a CMake package and a pkg-config file
#   qovorlix-sim             the simulated machine (qosim) and the platform stand-ins, in a
#                            private directory: a machine with the real platform leaves it out
#   qovorlix-tools           the reference hosts (qovorlix-syscfg, qovorlix-route) and the
#                            driver-call tool (qo-drvcall)
#
# `cmake --install` installs all four; `cpack -G DEB` (make package) builds the packages.

# Libraries go to the multiarch directory lib/<triplet> on a multiarch system, whatever the
# configure-time prefix: the packages (prefix /usr at packaging time) and `cmake --install
# --prefix /usr` must put them where Debian's loader, pkg-config and CMake look first.
# (GNUInstallDirs picks lib/<triplet> only for a configure-time prefix of /usr, and the build tree
# is configured with the default one.) A CMAKE_INSTALL_LIBDIR the user gives is kept; a build
# tree configured before this rule holds GNUInstallDirs' "lib" default, which is replaced once.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(QO_MULTIARCH_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
  if(NOT DEFINED CMAKE_INSTALL_LIBDIR)
    set(CMAKE_INSTALL_LIBDIR ${QO_MULTIARCH_LIBDIR} CACHE PATH
        "Object code libraries (${QO_MULTIARCH_LIBDIR})")
  elseif(NOT DEFINED CACHE{QO_LIBDIR_CHOSEN}
         AND DEFINED CACHE{_GNUInstallDirs_LAST_CMAKE_INSTALL_PREFIX}
         AND "$CACHE{CMAKE_INSTALL_LIBDIR}" STREQUAL "lib")
    set_property(CACHE CMAKE_INSTALL_LIBDIR PROPERTY VALUE ${QO_MULTIARCH_LIBDIR})
  endif()
  set(QO_LIBDIR_CHOSEN ON CACHE INTERNAL "CMAKE_INSTALL_LIBDIR was settled by the multiarch rule")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QO_PKG_NAME qovorlixatomicsae)
set(QO_PKG_LIB_PACKAGE lib${QO_PKG_NAME}${PROJECT_VERSION_MAJOR})
set(QO_PKG_DEV_PACKAGE lib${QO_PKG_NAME}-dev)
# Where the stand-ins go: found by SONAME only when a simulated machine asks for them.
set(QO_PKG_STANDIN_DIR ${CMAKE_INSTALL_LIBDIR}/qovorlix-sim)

# --- The library and its development files ----------------------------------------------------
target_include_directories(qovorlixatomicsae INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS qovorlixatomicsae EXPORT qovorlixatomicsaeTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT dev)
# The public headers, as they are in include/qovorlixatomicsae: qoroco_ra.h (the routing adaptor's
# C exports) and sysapi_host.h (the configuration host's declarations of the expert's interfaces,
# C++).
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/qovorlixatomicsae
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(QO_PKG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${QO_PKG_NAME})
install(EXPORT qovorlixatomicsaeTargets NAMESPACE qovorlixatomicsae::
  DESTINATION ${QO_PKG_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/packaging/qovorlixatomicsaeConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/qovorlixatomicsaeConfig.cmake
  INSTALL_DESTINATION ${QO_PKG_CMAKE_DIR})
# 23.x is one binary interface: a newer minor release serves a consumer asking for an older one.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/qovorlixatomicsaeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/qovorlixatomicsaeConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/qovorlixatomicsaeConfigVersion.cmake
  DESTINATION ${QO_PKG_CMAKE_DIR} COMPONENT dev)

# pkg-config: libdir and includedir relative to ${prefix}; the prefix is the one installed to
# (the packages' /usr, or `cmake --install --prefix`), so the file is written when installing. A
# tree staged under DESTDIR is used with PKG_CONFIG_SYSROOT_DIR.
set(QO_PC_FILE ${CMAKE_BINARY_DIR}/packaging/qovorlixatomicsae.pc)
install(CODE "
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(QO_PC_LIBDIR [=[\${prefix}/${CMAKE_INSTALL_LIBDIR}]=])
  set(QO_PC_INCLUDEDIR [=[\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}]=])
  configure_file([=[${CMAKE_SOURCE_DIR}/cmake/packaging/qovorlixatomicsae.pc.in]=]
                 [=[${QO_PC_FILE}]=] @ONLY)" COMPONENT dev)
install(FILES ${QO_PC_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# --- The simulated machine and the reference hosts ---------------------------------------------
install(TARGETS qosim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
install(TARGETS qokeldevenum qovorlixapi qorelocations
  LIBRARY DESTINATION ${QO_PKG_STANDIN_DIR} COMPONENT sim)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sim/boards/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/qovorlix-sim/boards COMPONENT sim)
# An installed qosim reads the default board file installed beside it, found from its own location
# (so also under a staging root); the build tree's has none there and reads the source tree's.
file(RELATIVE_PATH QO_PKG_BOARDS_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_DATADIR}/qovorlix-sim/boards/default.json)
set_property(TARGET qosim APPEND PROPERTY
  COMPILE_DEFINITIONS QOSIM_INSTALLED_BOARDS="${QO_PKG_BOARDS_FROM_BIN}")

install(TARGETS qovorlix-syscfg qovorlix-route qo-drvcall
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# The installed configuration host finds the stand-ins as the build tree's does: by SONAME through
# its old-style RPATH (which serves the library's dlopen calls too), here relative to its own
# location ($ORIGIN: a private directory, and a staging root works). On a machine without the
# simulated machine the directory does not exist and the real platform libraries are found in the
# system's library path.
file(RELATIVE_PATH QO_PKG_STANDINS_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBDIR}/qovorlix-sim)
# (cmake/BuildRpath.cmake: set in the installed file by the install step.) The installed routing
# host has no RPATH.
qo_install_host_rpath(qovorlix-syscfg tools "$ORIGIN/${QO_PKG_STANDINS_FROM_BIN}")
qo_install_host_rpath(qovorlix-route tools)
# ... and an installed qosim puts that directory first in LD_LIBRARY_PATH for the command it runs,
# so any configuration host finds the stand-ins inside the simulated machine.
set_property(TARGET qosim APPEND PROPERTY
  COMPILE_DEFINITIONS QOSIM_INSTALLED_STANDINS="${QO_PKG_STANDINS_FROM_BIN}")

# Changelogs and man pages are dated by SOURCE_DATE_EPOCH, else by the last commit: a rebuild of
# the same source gives the same files, which packages of one version for several architectures
# must share (Multi-Arch: same).
set(QO_PKG_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(QO_PKG_EPOCH STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE QO_PKG_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT QO_PKG_EPOCH MATCHES "^[0-9]+$")
  string(TIMESTAMP QO_PKG_EPOCH "%s" UTC)
endif()
set(ENV{SOURCE_DATE_EPOCH} ${QO_PKG_EPOCH})

# --- Man pages, from each tool's --help ----------------------------------------------------------
find_program(QO_HELP2MAN help2man)
# (Not in sanitizer builds: those are for tests, never installed.)
if(QO_HELP2MAN AND NOT QO_SANITIZE)
  set(QO_MAN_PAGES "")
  # tool|component|summary|help option (the hosts' --help-all adds every command's options)
  foreach(entry IN ITEMS "qosim|sim|simulated machine for the Vorlix board family|--help"
                         "qovorlix-syscfg|tools|reference configuration host|--help-all"
                         "qovorlix-route|tools|reference routing host|--help-all"
                         "qo-drvcall|tools|call one driver-interface method on a board|--help")
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 tool)
    list(GET entry 1 component)
    list(GET entry 2 summary)
    list(GET entry 3 helpOption)
    set(page ${CMAKE_BINARY_DIR}/packaging/man/${tool}.1)
    # The sections the help text does not hold (EXAMPLES, ENVIRONMENT, EXIT STATUS, FILES) come
    # from tools/man/<tool>.h2m when the tool has one.
    set(include "")
    set(includeFile ${CMAKE_SOURCE_DIR}/tools/man/${tool}.h2m)
    if(EXISTS ${includeFile})
      set(include --include=${includeFile})
    else()
      set(includeFile "")
    endif()
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QO_PKG_EPOCH}
              ${QO_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
              --name=${summary} --help-option=${helpOption} ${include} --output=${page}
              $<TARGET_FILE:${tool}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${tool} ${includeFile}
      COMMENT "Man page of ${tool}" VERBATIM)
    list(APPEND QO_MAN_PAGES ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component}
            OPTIONAL)
  endforeach()
  add_custom_target(qo_man_pages ALL DEPENDS ${QO_MAN_PAGES})
endif()

# --- Bash completion, where bash-completion looks for a command's completion ------------------
# (/usr/share/bash-completion/completions/<tool>, loaded when the command is first completed).
foreach(entry IN ITEMS "qosim|sim" "qovorlix-syscfg|tools" "qovorlix-route|tools")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 tool)
  list(GET entry 1 component)
  if(EXISTS ${CMAKE_SOURCE_DIR}/tools/completion/${tool}.bash)
    install(FILES ${CMAKE_SOURCE_DIR}/tools/completion/${tool}.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool}
            COMPONENT ${component})
  endif()
endforeach()
# The part the two hosts' completions share, sourced from beside them under its own name.
install(FILES ${CMAKE_SOURCE_DIR}/tools/completion/qovorlix-host.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)

# --- Debian documentation: copyright and changelog for every package -------------------------
string(TIMESTAMP QO_PKG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(QO_PKG_RELEASE 1)
set(QO_PKG_FULL_VERSION ${PROJECT_VERSION}-${QO_PKG_RELEASE})
set(QO_PKG_MAINTAINER "Vorlix library developers <qovorlix-dev@example.invalid>")
# The changelog is the source's, the same in each package.
string(CONCAT QO_PKG_CHANGELOG
  "${QO_PKG_NAME} (${QO_PKG_FULL_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n -- ${QO_PKG_MAINTAINER}  ${QO_PKG_DATE}\n")
foreach(pair IN ITEMS "runtime|${QO_PKG_LIB_PACKAGE}" "dev|${QO_PKG_DEV_PACKAGE}"
                      "sim|qovorlix-sim" "tools|qovorlix-tools")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  set(dir ${CMAKE_BINARY_DIR}/packaging/doc/${package})
  file(CONFIGURE OUTPUT ${dir}/changelog.Debian CONTENT "${QO_PKG_CHANGELOG}")
  add_custom_command(OUTPUT ${dir}/changelog.Debian.gz
    COMMAND gzip -9nkf ${dir}/changelog.Debian DEPENDS ${dir}/changelog.Debian VERBATIM)
  list(APPEND QO_PKG_DOCS ${dir}/changelog.Debian.gz)
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/packaging/copyright ${dir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
add_custom_target(qo_package_docs ALL DEPENDS ${QO_PKG_DOCS})

# --- CPack: Debian packages split by component --------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QO_PKG_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorlix library developers")
set(CPACK_PACKAGE_CONTACT ${QO_PKG_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev sim tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QO_PKG_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QO_PKG_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# shlibs file and ldconfig trigger of the library package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Packaged binaries are stripped (the build tree keeps its debug information). No -dbgsym packages
# (CPACK_DEBIAN_DEBUGINFO_PACKAGE): CPack 3.25 lists their files in md5sums by staging path and
# gives them no copyright file or changelog, which lintian rejects as errors.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorlix.example.invalid/qovorlixatomicsae")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)
# The four binary packages come from one source.
set(CPACK_DEBIAN_PACKAGE_SOURCE ${QO_PKG_NAME})
# The library and its development files are co-installable for several architectures (their
# files are in lib/<triplet>, or identical for every architecture). A CPack without a Multi-Arch
# field (3.25 has none) gets it on the Priority line of the control file.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_DEV_PACKAGE_MULTIARCH same)
file(STRINGS ${CMAKE_ROOT}/Modules/Internal/CPack/CPackDeb.cmake QO_CPACK_MULTIARCH REGEX MULTIARCH)
if(NOT QO_CPACK_MULTIARCH)
  foreach(component IN ITEMS RUNTIME DEV)
    set(CPACK_DEBIAN_${component}_PACKAGE_PRIORITY "optional\nMulti-Arch: same")
  endforeach()
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QO_PKG_LIB_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The ldconfig trigger. (CPack also writes a postinst and postrm calling ldconfig for a library
# in /usr/lib/..., unless the package brings its own scripts: lintian warns about that call.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/packaging/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Vorlix board family library\nThe shared library the system-configuration host and the signal-routing\nhost load to serve the Vorlix family of FPGA boards through their kernel\ndriver.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${QO_PKG_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${QO_PKG_LIB_PACKAGE} (= ${QO_PKG_FULL_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE amd64)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Vorlix board family library - development files\nThe routing adaptor's C header, the configuration host's interface header,\na CMake package and a pkg-config file for hosts that link the library.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME qovorlix-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "fuse3")
set(CPACK_COMPONENT_SIM_DESCRIPTION
  "simulated machine for the Vorlix board family\nqosim serves a simulated kernel driver (device nodes, /proc tree, netlink)\nand stand-ins for the board family's platform libraries, for tests and\ndemonstrations. A machine with the real driver and platform does not\ninstall it.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qovorlix-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${QO_PKG_LIB_PACKAGE} (= ${QO_PKG_FULL_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "reference hosts for the Vorlix board family library\nqovorlix-syscfg loads the library as the system-configuration host does\nand qovorlix-route as the signal-routing host does; qo-drvcall calls one\ndriver-interface method on a board and prints what came back.")

include(CPack)

# The installed tree serves a host project outside the tree (CMake package and pkg-config). A
# sanitizer build's library needs its runtime loaded first, which a plain consumer does not do.
if(NOT QO_SANITIZE)
  add_test(NAME package_install_consumer
           COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/test_install.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(package_install_consumer PROPERTIES LABELS package TIMEOUT 120)
endif()

# The build tree's RPATHs (cmake/BuildRpath.cmake), read off every ELF file once all are built.
add_test(NAME build_tree_rpaths
         COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/check-build-rpaths.sh ${CMAKE_BINARY_DIR}
                 $<TARGET_FILE:qosim>)
set_tests_properties(build_tree_rpaths PROPERTIES LABELS package TIMEOUT 120)
