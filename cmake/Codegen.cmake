# Driver-interface proxies generated at build time from the descriptions in codegen/descriptions/
# by codegen/generator/qocodegen.py (Python 3, standard library only). Nothing it writes is
# committed; change a description, the generator or a template and the build regenerates.
#
# Outputs:
#   ${QO_GEN_DIR}/codegen/qovorlixatomicsae/tInterfaceProxy_<interface>.h/.cpp   (library)
#   ${QO_GEN_DIR}/codegen-sim/qodrvdesc/qoDriverInterfaceTables.h  (target qo_driver_tables)
#   ${QO_GEN_DIR}/codegen-tests/qodrvdesc/qoGeneratedProxyInvokers.h (target qo_codegen_test_support)
#   ${QO_GEN_DIR}/codegen-contract/qodrv/qoDriverConstants.h   (library, and with qo_driver_tables)
# Needs QO_GEN_DIR (cmake/Generated.cmake) and Python3_EXECUTABLE.
set(QO_CODEGEN_DIR ${CMAKE_SOURCE_DIR}/codegen)
set(QO_CODEGEN_GENERATOR ${QO_CODEGEN_DIR}/generator/qocodegen.py)
set(QO_CODEGEN_DESCRIPTIONS
    ${QO_CODEGEN_DIR}/descriptions/driver.json
    ${QO_CODEGEN_DIR}/descriptions/vorlixtarrow.json
    ${QO_CODEGEN_DIR}/descriptions/routing.json)
file(GLOB QO_CODEGEN_INPUTS CONFIGURE_DEPENDS
     ${QO_CODEGEN_DIR}/generator/*.py ${QO_CODEGEN_DIR}/templates/*.tmpl)
set(QO_CODEGEN_SIM_DIR ${QO_GEN_DIR}/codegen-sim)
set(QO_CODEGEN_TESTS_DIR ${QO_GEN_DIR}/codegen-tests)
set(QO_CODEGEN_CONTRACT_DIR ${QO_GEN_DIR}/codegen-contract)

set(QO_CODEGEN_PROXY_HEADERS
    ${QO_GEN_DIR}/codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h
    ${QO_GEN_DIR}/codegen/qovorlixatomicsae/tInterfaceProxy_routing.h)
set(QO_CODEGEN_PROXY_SOURCES
    ${QO_GEN_DIR}/codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.cpp
    ${QO_GEN_DIR}/codegen/qovorlixatomicsae/tInterfaceProxy_routing.cpp)
set(QO_CODEGEN_TABLES ${QO_CODEGEN_SIM_DIR}/qodrvdesc/qoDriverInterfaceTables.h)
set(QO_CODEGEN_INVOKERS ${QO_CODEGEN_TESTS_DIR}/qodrvdesc/qoGeneratedProxyInvokers.h)
set(QO_CODEGEN_CONSTANTS ${QO_CODEGEN_CONTRACT_DIR}/qodrv/qoDriverConstants.h)

add_custom_command(
  OUTPUT ${QO_CODEGEN_PROXY_HEADERS} ${QO_CODEGEN_PROXY_SOURCES} ${QO_CODEGEN_TABLES}
         ${QO_CODEGEN_INVOKERS} ${QO_CODEGEN_CONSTANTS}
  COMMAND ${Python3_EXECUTABLE} ${QO_CODEGEN_GENERATOR}
          --out ${QO_GEN_DIR} --tables-out ${QO_CODEGEN_SIM_DIR} --tests-out ${QO_CODEGEN_TESTS_DIR}
          --contract-out ${QO_CODEGEN_CONTRACT_DIR} ${QO_CODEGEN_DESCRIPTIONS}
  # The generator leaves unchanged files alone (Ninja re-stats custom command outputs), so a
  # template change that does not change an output recompiles nothing.
  DEPENDS ${QO_CODEGEN_GENERATOR} ${QO_CODEGEN_INPUTS} ${QO_CODEGEN_DESCRIPTIONS}
  COMMENT "Generating the driver-interface proxies and tables from codegen/descriptions"
  VERBATIM)
add_custom_target(qo_codegen DEPENDS ${QO_CODEGEN_PROXY_HEADERS} ${QO_CODEGEN_PROXY_SOURCES}
                  ${QO_CODEGEN_TABLES} ${QO_CODEGEN_INVOKERS} ${QO_CODEGEN_CONSTANTS})

set_source_files_properties(${QO_CODEGEN_PROXY_HEADERS} ${QO_CODEGEN_CONSTANTS} PROPERTIES
                            GENERATED TRUE HEADER_FILE_ONLY TRUE)
set_source_files_properties(${QO_CODEGEN_PROXY_SOURCES} PROPERTIES GENERATED TRUE)
list(APPEND QO_GENERATED_SOURCES ${QO_CODEGEN_PROXY_HEADERS} ${QO_CODEGEN_PROXY_SOURCES}
     ${QO_CODEGEN_CONSTANTS})
# The contract's constants (qodrv/qoDriverConstants.h): the library includes them as the
# simulator and the tests do, through qo_driver_tables.
list(APPEND QO_GENERATED_INCLUDE_DIRS ${QO_CODEGEN_CONTRACT_DIR})

# The plain-data tables for the simulator and the tests. They include nothing of the library.
add_library(qo_driver_tables INTERFACE)
target_include_directories(qo_driver_tables INTERFACE ${QO_CODEGEN_SIM_DIR}
                           ${QO_CODEGEN_CONTRACT_DIR})
add_dependencies(qo_driver_tables qo_codegen)

# Test support: one invoker per method, calling it through its interface class.
add_library(qo_codegen_test_support INTERFACE)
target_include_directories(qo_codegen_test_support INTERFACE ${QO_CODEGEN_TESTS_DIR})
target_link_libraries(qo_codegen_test_support INTERFACE qo_driver_tables)
add_dependencies(qo_codegen_test_support qo_codegen)

# The routing topographies: the library's records and the simulator's routing graphs.
include(${CMAKE_CURRENT_LIST_DIR}/Topographies.cmake)

# The board item's property tags: the library's constants and refresh dispatch, the hosts' names.
include(${CMAKE_CURRENT_LIST_DIR}/PropertyTags.cmake)
