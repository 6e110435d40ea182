# RPATHs of the hosts in the build tree and once installed.
#
# A host run from the build tree finds the build tree's library and the platform stand-ins by
# SONAME through an old-style RPATH (DT_RPATH, -Wl,--disable-new-dtags: it serves the dlopen
# calls of the executable and of the library alike), as an installed host finds the installed
# ones in the system's library path.
#
# CMake's own handling (BUILD_RPATH replaced by INSTALL_RPATH when installing) cannot give that
# without empty entries: to rewrite the string in place it always appends one ':' (so that the
# linker cannot share the string's tail with another name of .dynstr) and as many more as the
# install RPATH is longer. An empty entry is the current directory to the loader, so a tool run
# as root would load libraries from wherever it is started. BUILD_WITH_INSTALL_RPATH is no way
# out either: the build tree's layout is not the install layout, and one $ORIGIN-relative RPATH
# serving both would give the installed host directories such as /usr/bin/../.. to search.
#
# So the hosts' build RPATH is given to the linker directly, its last directory ending in '/'
# repeated up to the install RPATH's length ('/' ends no other name of .dynstr, and the directory
# is the same to the loader), and the install step replaces it (file(RPATH_SET)) by the install
# RPATH, or removes it.

# qo_host_rpath(<target> <dir>...): the target's build RPATH, set by qo_install_host_rpath.
function(qo_host_rpath target)
  set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON INSTALL_RPATH "")
  set_property(TARGET ${target} PROPERTY QO_HOST_BUILD_RPATH ${ARGN})
endfunction()

# qo_install_host_rpath(<target> <component> [<install rpath>]), once install(TARGETS <target>)
# is given: links the target with its build RPATH (padded to the install RPATH's length) and has
# the install step set the install RPATH in the installed file, or remove the RPATH.
function(qo_install_host_rpath target component)
  set(rpath "${ARGN}")
  get_target_property(dirs ${target} QO_HOST_BUILD_RPATH)
  list(JOIN dirs ":" text)
  string(APPEND text "/")
  string(LENGTH "${text}" length)
  string(LENGTH "${rpath}" installLength)
  if(length LESS installLength)
    math(EXPR missing "${installLength} - ${length}")
    string(REPEAT "/" ${missing} slashes)
    string(APPEND text "${slashes}")
  endif()
  target_link_options(${target} PRIVATE -Wl,--disable-new-dtags "-Wl,-rpath,${text}")
  set(file "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>")
  if(rpath)
    install(CODE "file(RPATH_SET FILE \"${file}\" NEW_RPATH [=[${rpath}]=])" COMPONENT ${component})
  else()
    install(CODE "file(RPATH_REMOVE FILE \"${file}\")" COMPONENT ${component})
  endif()
endfunction()
