# Makes the ELF version script, the Windows module-definition file and the
# host binding's ordinal table from the one list in exports/exports.list.
set(_list ${PROJECT_SOURCE_DIR}/exports/exports.list)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_list})
set(MIRN_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)

file(STRINGS ${_list} _lines REGEX "^[0-9]+[ \t]+[A-Za-z_][A-Za-z0-9_]*[ \t]+[0-9]+$")
# On 32-bit x86 Windows the exports are __stdcall: the .def names the
# decorated symbols (Name@bytes), which the link exports undecorated
# (--kill-at) and the import library keeps decorated for C callers.
set(_stdcall OFF)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_stdcall ON)
endif()
set(_map "{\n  global:\n")
set(_def "LIBRARY MirnDLL\nEXPORTS\n")
set(_table "")
set(_expected 1)
foreach(_line IN LISTS _lines)
  string(REGEX MATCH "^([0-9]+)[ \t]+([^ \t]+)[ \t]+([0-9]+)$" _ ${_line})
  set(_ordinal ${CMAKE_MATCH_1})
  set(_name ${CMAKE_MATCH_2})
  set(_def_name ${_name})
  if(_stdcall)
    set(_def_name ${_name}@${CMAKE_MATCH_3})
  endif()
  if(NOT _ordinal EQUAL _expected)
    message(FATAL_ERROR "exports.list: ordinals must run 1, 2, 3...; found ${_ordinal} for ${_name}")
  endif()
  math(EXPR _expected "${_expected} + 1")
  string(APPEND _map "    ${_name};\n")
  string(APPEND _def "  ${_def_name} @${_ordinal}\n")
  string(APPEND _table "  {${_ordinal}, \"${_name}\"},\n")
endforeach()
string(APPEND _map "  local: *;\n};\n")
math(EXPR MIRN_EXPORT_COUNT "${_expected} - 1")

file(CONFIGURE OUTPUT ${MIRN_GENERATED_DIR}/MirnDLL.map CONTENT "${_map}")
file(CONFIGURE OUTPUT ${MIRN_GENERATED_DIR}/MirnDLL.def CONTENT "${_def}")
file(CONFIGURE OUTPUT ${MIRN_GENERATED_DIR}/export_table.h CONTENT
"// Made by the build from exports/exports.list: the library's exports by ordinal.
#pragma once

namespace mirn {

struct ExportEntry {
  int ordinal;
  const char* name;
};

inline constexpr int kExportCount = ${MIRN_EXPORT_COUNT};
inline constexpr ExportEntry kExports[kExportCount] = {
${_table}};

}  // namespace mirn
")
set(MIRN_EXPORTS_VERSION_SCRIPT ${MIRN_GENERATED_DIR}/MirnDLL.map)
set(MIRN_EXPORTS_DEF ${MIRN_GENERATED_DIR}/MirnDLL.def)
