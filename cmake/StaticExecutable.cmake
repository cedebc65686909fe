# Start-up cost of the vantrel executable: most of a short run is the dynamic
# loader binding ICU, simdjson and the C++ runtime. With
# VANTREL_STATIC_EXECUTABLE the executable links ICU's static archive,
# carrying only the ICU data items the scanner opens, the static C++ runtime
# and, when VANTREL_SIMDJSON_SOURCE names simdjson's single-file form (Debian
# ships no archive of it; ./dev fetches it from the source package), simdjson
# compiled from that; glibc stays shared. Everything else -- the library,
# tests, tools, a shared library for embedders -- links ICU and simdjson as
# before.
#
# Targets opt in with the VANTREL_STATIC_ICU and VANTREL_STATIC_SIMDJSON
# properties; vantrel_icu and vantrel_simdjson, which the library links,
# resolve per final target.

option(VANTREL_STATIC_EXECUTABLE
       "Link the vantrel executable with static ICU (only the data it uses) and C++ runtime" ON)

# ICU data items the scanner opens: the compatibility normalization data
# (NFKC and NFKD). Character properties, NFC and case mapping are compiled
# into ICU's common library.
set(VANTREL_ICU_DATA_ITEMS nfkc.nrm)

add_library(vantrel_icu INTERFACE)
set(_vantrel_static $<BOOL:$<TARGET_PROPERTY:VANTREL_STATIC_ICU>>)
target_link_libraries(vantrel_icu INTERFACE
  $<$<NOT:${_vantrel_static}>:ICU::uc>
  $<$<NOT:${_vantrel_static}>:ICU::data>
  $<${_vantrel_static}:vantrel_icu_static>)
# Headers for every target, whichever way it links.
target_include_directories(vantrel_icu INTERFACE ${ICU_INCLUDE_DIRS})

add_library(vantrel_simdjson INTERFACE)
set(_vantrel_static_simdjson $<BOOL:$<TARGET_PROPERTY:VANTREL_STATIC_SIMDJSON>>)
# The installed header and compile definitions serve both ways of linking.
target_link_libraries(vantrel_simdjson INTERFACE
  $<$<NOT:${_vantrel_static_simdjson}>:simdjson::simdjson>
  $<${_vantrel_static_simdjson}:vantrel_simdjson_static>)
target_include_directories(vantrel_simdjson INTERFACE
  $<TARGET_PROPERTY:simdjson::simdjson,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_definitions(vantrel_simdjson INTERFACE
  $<TARGET_PROPERTY:simdjson::simdjson,INTERFACE_COMPILE_DEFINITIONS>)

set(VANTREL_SIMDJSON_SOURCE "" CACHE FILEPATH
    "simdjson.cpp (single-file form) of the installed simdjson, for the static executable; empty to link it shared")

# vantrel_use_static_runtime(TARGET): links TARGET the static way when the
# option is on and the archives exist.
function(vantrel_use_static_runtime target)
  # The sanitizers' runtimes expect the shared C++ runtime.
  if(NOT VANTREL_STATIC_EXECUTABLE OR VANTREL_SANITIZE OR VANTREL_TSAN)
    return()
  endif()
  if(TARGET vantrel_icu_static)
    set_target_properties(${target} PROPERTIES VANTREL_STATIC_ICU ON)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  if(TARGET vantrel_simdjson_static)
    set_target_properties(${target} PROPERTIES VANTREL_STATIC_SIMDJSON ON)
  endif()
endfunction()

# Sanitizer and fuzzing builds link everything dynamically (see above), and
# their C flags may suit only the C++ compiler: no static pieces are made.
if(NOT VANTREL_STATIC_EXECUTABLE OR VANTREL_SANITIZE OR VANTREL_TSAN OR VANTREL_FUZZ)
  return()
endif()

# simdjson from its single-file form, compiled as the installed package's
# consumers are (its compile definitions). The installed header must be the
# same as the one beside the source; ./dev checks that before naming it.
# Built only for the executables that link it.
if(VANTREL_SIMDJSON_SOURCE)
  if(EXISTS ${VANTREL_SIMDJSON_SOURCE})
    add_library(vantrel_simdjson_static STATIC EXCLUDE_FROM_ALL ${VANTREL_SIMDJSON_SOURCE})
    target_compile_definitions(vantrel_simdjson_static PUBLIC
      $<TARGET_PROPERTY:simdjson::simdjson,INTERFACE_COMPILE_DEFINITIONS>)
    target_link_libraries(vantrel_simdjson_static PUBLIC Threads::Threads)
  else()
    message(WARNING "VANTREL_SIMDJSON_SOURCE ${VANTREL_SIMDJSON_SOURCE} does not exist; "
                    "vantrel links simdjson dynamically")
  endif()
endif()

find_library(VANTREL_ICUUC_ARCHIVE NAMES libicuuc.a)
find_program(VANTREL_ICUPKG icupkg PATHS /usr/sbin)
find_program(VANTREL_GENCCODE genccode PATHS /usr/sbin)
if(NOT VANTREL_ICUUC_ARCHIVE OR NOT VANTREL_ICUPKG OR NOT VANTREL_GENCCODE
   OR NOT ICU_DATA_LIBRARY)
  message(WARNING "VANTREL_STATIC_EXECUTABLE: libicuuc.a, icupkg or genccode missing "
                  "(packages libicu-dev, icu-devtools); vantrel links ICU dynamically")
  return()
endif()

enable_language(C)
string(REGEX MATCH "^[0-9]+" _vantrel_icu_major "${ICU_VERSION}")
set(_vantrel_icu_data_c ${CMAKE_BINARY_DIR}/icu_scanner_data.c)
add_custom_command(
  OUTPUT ${_vantrel_icu_data_c}
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/cut_icu_data.sh ${ICU_DATA_LIBRARY}
          ${_vantrel_icu_major} ${_vantrel_icu_data_c} ${VANTREL_ICU_DATA_ITEMS}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/cut_icu_data.sh ${ICU_DATA_LIBRARY}
  COMMENT "Cutting ICU data down to ${VANTREL_ICU_DATA_ITEMS}"
  VERBATIM)
add_library(vantrel_icu_data STATIC ${_vantrel_icu_data_c})
target_include_directories(vantrel_icu_data PRIVATE ${ICU_INCLUDE_DIRS})

add_library(vantrel_icu_static INTERFACE)
# The data entry point is referenced from inside the archive, so it follows it.
target_link_libraries(vantrel_icu_static INTERFACE
  ${VANTREL_ICUUC_ARCHIVE} vantrel_icu_data ${CMAKE_DL_LIBS})
