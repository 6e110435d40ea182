# RPATHs of the build tree.
#
# A host run from the build tree finds the build tree's library and the platform stand-ins by
# SONAME through an old-style RPATH (DT_RPATH, -Wl,--disable-new-dtags: it serves the dlopen
# calls of the executable and of the library alike), as an installed host finds the installed
# ones in the system's library path.
#
# When the install step replaces a build RPATH by the INSTALL_RPATH, CMake rewrites it in place
# in the binary, so it gives the build RPATH at least the install one's length, padding it with
# ':' otherwise. Empty entries mean the current directory to the loader: a tool run as root
# from any directory would load libraries from there. So a build RPATH shorter than the install
# one is padded here instead by repeating '/' at the end of its last directory (the same
# directory to the loader, no empty entry). Building with the install RPATH instead is no way
# out: the build tree's layout is not the install layout, so no $ORIGIN-relative path serves
# both.

# qo_build_rpath(<target> <dir>...): the directories, in order, as the target's build RPATH.
function(qo_build_rpath target)
  set_property(TARGET ${target} PROPERTY BUILD_RPATH ${ARGN})
  target_link_options(${target} PRIVATE -Wl,--disable-new-dtags)
endfunction()

# qo_pad_build_rpath(<target>): after INSTALL_RPATH is set, pads the build RPATH to its length.
function(qo_pad_build_rpath target)
  get_target_property(build ${target} BUILD_RPATH)
  get_target_property(install ${target} INSTALL_RPATH)
  if(NOT build OR NOT install)
    return()
  endif()
  list(JOIN build ":" buildText)
  list(JOIN install ":" installText)
  string(LENGTH "${buildText}" buildLength)
  string(LENGTH "${installText}" installLength)
  if(buildLength LESS installLength)
    math(EXPR missing "${installLength} - ${buildLength}")
    string(REPEAT "/" ${missing} slashes)
    list(POP_BACK build last)
    list(APPEND build "${last}${slashes}")
    set_property(TARGET ${target} PROPERTY BUILD_RPATH ${build})
  endif()
endfunction()
