# Compile and link hardening applied to everything the project ships.
# -Wshadow: a name that hides another in an enclosing scope is a misreading waiting to happen.
set(QO_WARNING_FLAGS -Wall -Wextra -Wshadow)
# CI builds turn every warning into an error (`make ... QO_WERROR=ON`, set by .ci/run); a
# developer's build only warns, so a newer compiler's new warning does not stop local work.
option(QO_WERROR "Treat compiler warnings as errors" OFF)
if(QO_WERROR)
  list(APPEND QO_WARNING_FLAGS -Werror)
endif()

function(qo_harden target)
  target_compile_options(${target} PRIVATE ${QO_WARNING_FLAGS} -fstack-protector-strong)
  # _FORTIFY_SOURCE only works with optimisation; sanitizer builds at -O0 would warn.
  target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "SHARED_LIBRARY" OR kind STREQUAL "EXECUTABLE")
    target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now -Wl,-z,noexecstack)
  endif()
endfunction()
