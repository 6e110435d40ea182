# Build-time generated tables. Each generator is committed next to the code that uses it; its
# output goes to the build tree and is never committed.
set(QO_GEN_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${QO_GEN_DIR})
list(APPEND QO_GENERATED_INCLUDE_DIRS ${QO_GEN_DIR})
