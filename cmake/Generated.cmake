# Build-time generated tables. Each generator is committed next to the code that uses it; its
# output goes to the build tree and is never committed.
set(QO_GEN_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${QO_GEN_DIR})
list(APPEND QO_GENERATED_INCLUDE_DIRS ${QO_GEN_DIR})

# ---------------------------------------------------------------------------------------------
# Case-folding table of qo/dsc/FoldCase.cpp, from Unicode's CaseFolding.txt (Debian package
# unicode-data, installed by scripts/bootstrap).
# ---------------------------------------------------------------------------------------------
set(QO_CASEFOLDING_FILE /usr/share/unicode/CaseFolding.txt CACHE FILEPATH
    "Unicode CaseFolding.txt the case-folding table is generated from")
if(NOT EXISTS ${QO_CASEFOLDING_FILE})
  message(FATAL_ERROR "${QO_CASEFOLDING_FILE} not found: install the Debian package unicode-data "
                      "(scripts/bootstrap) or set QO_CASEFOLDING_FILE")
endif()
set(QO_CASEFOLD_GENERATOR ${CMAKE_SOURCE_DIR}/qo/dsc/tools/gen_casefold.py)
set(QO_CASEFOLD_TABLE ${QO_GEN_DIR}/qo/dsc/CaseFoldTable.inc)
add_custom_command(
  OUTPUT ${QO_CASEFOLD_TABLE}
  COMMAND ${Python3_EXECUTABLE} ${QO_CASEFOLD_GENERATOR} ${QO_CASEFOLDING_FILE} ${QO_CASEFOLD_TABLE}
  DEPENDS ${QO_CASEFOLD_GENERATOR} ${QO_CASEFOLDING_FILE}
  COMMENT "Generating the case-folding table from ${QO_CASEFOLDING_FILE}"
  VERBATIM)
# Included by FoldCase.cpp: listed with the library's sources so the table is generated before
# anything is compiled, and regenerated when the generator or the data file changes.
set_source_files_properties(${QO_CASEFOLD_TABLE} PROPERTIES GENERATED TRUE HEADER_FILE_ONLY TRUE)
list(APPEND QO_GENERATED_SOURCES ${QO_CASEFOLD_TABLE})
# Tells the tests which file the table came from, so they can check it against the same data.
file(CONFIGURE OUTPUT ${QO_GEN_DIR}/qo/dsc/CaseFoldingSource.h @ONLY CONTENT
"// Generated at configure time: the CaseFolding.txt the case-folding table comes from.
#pragma once
#define QO_CASEFOLDING_FILE \"@QO_CASEFOLDING_FILE@\"
")
