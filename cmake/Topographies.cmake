# Routing topographies generated at build time from codegen/topographies/*.json by
# codegen/generator/qotopogen.py (Python 3, standard library only). One description per
# topography is the only place its terminals and routing graph are written down; it gives both
# the library's topography records and the simulated driver's routing graph.
#
# Outputs (build tree only):
#   ${QO_GEN_DIR}/codegen/qoarkra/TopographyRecords.cpp   library: qoark::builtinTopographies()
#   ${QO_GEN_DIR}/codegen-sim/qotopo/qoTopographyTables.h  simulator and tests (qo_topography_tables)
# Needs QO_GEN_DIR, QO_CODEGEN_DIR and Python3_EXECUTABLE (cmake/Codegen.cmake).
set(QO_TOPOGEN ${QO_CODEGEN_DIR}/generator/qotopogen.py)
file(GLOB QO_TOPOGRAPHY_FILES CONFIGURE_DEPENDS ${QO_CODEGEN_DIR}/topographies/*.json)
list(SORT QO_TOPOGRAPHY_FILES)
set(QO_TOPOGRAPHY_RECORDS ${QO_GEN_DIR}/codegen/qoarkra/TopographyRecords.cpp)
set(QO_TOPOGRAPHY_TABLES ${QO_GEN_DIR}/codegen-sim/qotopo/qoTopographyTables.h)

add_custom_command(
  OUTPUT ${QO_TOPOGRAPHY_RECORDS} ${QO_TOPOGRAPHY_TABLES}
  COMMAND ${Python3_EXECUTABLE} ${QO_TOPOGEN}
          --library-out ${QO_TOPOGRAPHY_RECORDS} --sim-out ${QO_TOPOGRAPHY_TABLES}
          ${QO_TOPOGRAPHY_FILES}
  DEPENDS ${QO_TOPOGEN} ${QO_CODEGEN_DIR}/generator/emit.py ${QO_TOPOGRAPHY_FILES}
  COMMENT "Generating the routing topographies from codegen/topographies"
  VERBATIM)
add_custom_target(qo_topographies DEPENDS ${QO_TOPOGRAPHY_RECORDS} ${QO_TOPOGRAPHY_TABLES})

set_source_files_properties(${QO_TOPOGRAPHY_RECORDS} PROPERTIES GENERATED TRUE)
list(APPEND QO_GENERATED_SOURCES ${QO_TOPOGRAPHY_RECORDS})

# The simulator's routing graphs (plain data, nothing of the library).
add_library(qo_topography_tables INTERFACE)
target_include_directories(qo_topography_tables INTERFACE ${QO_GEN_DIR}/codegen-sim)
add_dependencies(qo_topography_tables qo_topographies)
