# QO_SANITIZE=address,undefined or QO_SANITIZE=thread applies to every target of the build.
if(QO_SANITIZE)
  set(QO_SAN_FLAGS -fsanitize=${QO_SANITIZE} -fno-omit-frame-pointer)
  if(QO_SANITIZE MATCHES "undefined")
    list(APPEND QO_SAN_FLAGS -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${QO_SAN_FLAGS})
  add_link_options(-fsanitize=${QO_SANITIZE})
endif()
