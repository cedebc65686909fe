# Start-up cost of the vantrel executable: most of a short run is the dynamic
# loader binding ICU and the C++ runtime. With VANTREL_STATIC_EXECUTABLE the
# executable links ICU's static archive, carrying only the ICU data items the
# scanner opens, and the static C++ runtime; glibc and simdjson (Debian ships
# no archive of it) stay shared. Everything else -- the library, tests,
# tools, a shared library for embedders -- links ICU as before.
#
# Targets opt in with the VANTREL_STATIC_ICU property; vantrel_icu, which the
# library links, resolves per final target.

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

# vantrel_use_static_runtime(TARGET): links TARGET the static way when the
# option is on and the archives exist.
function(vantrel_use_static_runtime target)
  # The sanitizers' runtimes expect the shared C++ runtime.
  if(VANTREL_STATIC_EXECUTABLE AND TARGET vantrel_icu_static AND NOT VANTREL_SANITIZE
     AND NOT VANTREL_TSAN)
    set_target_properties(${target} PROPERTIES VANTREL_STATIC_ICU ON)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# Sanitizer and fuzzing builds link everything dynamically (see above), and
# their C flags may suit only the C++ compiler: no static pieces are made.
if(NOT VANTREL_STATIC_EXECUTABLE OR VANTREL_SANITIZE OR VANTREL_TSAN OR VANTREL_FUZZ)
  return()
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
