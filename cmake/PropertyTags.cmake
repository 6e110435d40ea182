# Property tags of a board item generated at build time from codegen/descriptions/properties.json
# by codegen/generator/qotaggen.py (Python 3, standard library only). The description is the only
# place a tag's number, constant, readable name, type, kind and refresh group are written down.
#
# Outputs (build tree only):
#   ${QO_GEN_DIR}/codegen/qovorlixatomicsae/tPropertyTags.h   library: tags::, kDynamicTags,
#                                                             the refresh dispatch
#   ${QO_GEN_DIR}/codegen-hosts/qohosttags/qoHostPropertyTags.h  hosts, bench probe and host
#                                                             tests (qo_host_tags): names,
#                                                             hardware readings, reading groups
# Needs QO_GEN_DIR, QO_CODEGEN_DIR and Python3_EXECUTABLE (cmake/Codegen.cmake).
set(QO_TAGGEN ${QO_CODEGEN_DIR}/generator/qotaggen.py)
set(QO_PROPERTY_TAGS_FILE ${QO_CODEGEN_DIR}/descriptions/properties.json)
set(QO_PROPERTY_TAGS_HEADER ${QO_GEN_DIR}/codegen/qovorlixatomicsae/tPropertyTags.h)
set(QO_HOST_TAGS_DIR ${QO_GEN_DIR}/codegen-hosts)
set(QO_HOST_TAGS_HEADER ${QO_HOST_TAGS_DIR}/qohosttags/qoHostPropertyTags.h)

add_custom_command(
  OUTPUT ${QO_PROPERTY_TAGS_HEADER} ${QO_HOST_TAGS_HEADER}
  COMMAND ${Python3_EXECUTABLE} ${QO_TAGGEN}
          --library-out ${QO_PROPERTY_TAGS_HEADER} --hosts-out ${QO_HOST_TAGS_HEADER}
          ${QO_PROPERTY_TAGS_FILE}
  DEPENDS ${QO_TAGGEN} ${QO_CODEGEN_DIR}/generator/emit.py ${QO_PROPERTY_TAGS_FILE}
  COMMENT "Generating the property tags from codegen/descriptions/properties.json"
  VERBATIM)
add_custom_target(qo_property_tags DEPENDS ${QO_PROPERTY_TAGS_HEADER} ${QO_HOST_TAGS_HEADER})

set_source_files_properties(${QO_PROPERTY_TAGS_HEADER} PROPERTIES GENERATED TRUE
                            HEADER_FILE_ONLY TRUE)
list(APPEND QO_GENERATED_SOURCES ${QO_PROPERTY_TAGS_HEADER})

# The hosts' tables (plain data, nothing of the library): tools/common/sysapi_names.h needs it.
add_library(qo_host_tags INTERFACE)
target_include_directories(qo_host_tags INTERFACE ${QO_HOST_TAGS_DIR})
add_dependencies(qo_host_tags qo_property_tags)
