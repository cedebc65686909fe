# The two libraries made from the library's objects, included from
# sdk/CMakeLists.txt:
#   vantrel_core    libvantrel.a: the C++ API and the C interface. Linked by
#                   the vantrel executable, the tests and the tools; installed
#                   as vantrel::vantrel_static.
#   vantrel_shared  libvantrel.so.0: the C interface only; every other symbol
#                   (the C++ API, the standard library's, ICU's, simdjson's)
#                   stays inside. Installed as vantrel::vantrel.
# Every object is compiled position-independent, so that the static library
# can go into an embedder's shared library and one compilation serves both,
# and with hidden visibility, so that only what VANTREL_API marks is exported.
set_target_properties(vantrel_core_objects vantrel_embedded_text vantrel_pattern_image PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

add_library(vantrel_c_api OBJECT src/c_api.cpp src/c_api_options.cpp)
target_include_directories(vantrel_c_api PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(vantrel_c_api PRIVATE vantrel_core_objects vantrel_warnings)
target_compile_definitions(vantrel_c_api PRIVATE VANTREL_BUILDING_LIBRARY)
set_target_properties(vantrel_c_api PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

set(VANTREL_LIBRARY_OBJECTS $<TARGET_OBJECTS:vantrel_core_objects>
    $<TARGET_OBJECTS:vantrel_pattern_image> $<TARGET_OBJECTS:vantrel_c_api>)
set(VANTREL_LIBRARY_INCLUDE_DIRS "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
foreach(dir ${VANTREL_PUBLIC_INCLUDE_DIRS})
  list(APPEND VANTREL_LIBRARY_INCLUDE_DIRS "$<BUILD_INTERFACE:${dir}>")
endforeach()

# The embedded pattern text rides along for the tests and tools that read it;
# a program that does not refer to it does not get it from the archive.
add_library(vantrel_core STATIC ${VANTREL_LIBRARY_OBJECTS} $<TARGET_OBJECTS:vantrel_embedded_text>)
target_include_directories(vantrel_core PUBLIC ${VANTREL_LIBRARY_INCLUDE_DIRS})
# In this build ICU and simdjson come through vantrel_icu and
# vantrel_simdjson, which the vantrel executable resolves to static archives;
# installed, the library names them plainly.
target_link_libraries(vantrel_core PUBLIC $<BUILD_INTERFACE:vantrel_simdjson>
  $<BUILD_INTERFACE:vantrel_icu> $<INSTALL_INTERFACE:simdjson::simdjson>
  $<INSTALL_INTERFACE:ICU::uc> $<INSTALL_INTERFACE:ICU::data>)
# The C++ API's headers are C++17.
target_compile_features(vantrel_core INTERFACE cxx_std_17)
set_target_properties(vantrel_core PROPERTIES OUTPUT_NAME vantrel EXPORT_NAME vantrel_static)

# The soname's number changes when the C interface's ABI does.
set(VANTREL_EXPORTS_MAP ${CMAKE_CURRENT_SOURCE_DIR}/cmake/exports.map)
add_library(vantrel_shared SHARED ${VANTREL_LIBRARY_OBJECTS})
target_include_directories(vantrel_shared INTERFACE ${VANTREL_LIBRARY_INCLUDE_DIRS})
target_link_libraries(vantrel_shared PRIVATE simdjson::simdjson ICU::uc ICU::data)
target_link_options(vantrel_shared PRIVATE "LINKER:--version-script=${VANTREL_EXPORTS_MAP}")
if(NOT VANTREL_SANITIZE AND NOT VANTREL_TSAN)
  # Sanitizer runtimes are resolved by the program that loads the library.
  target_link_options(vantrel_shared PRIVATE "LINKER:--no-undefined")
endif()
set_target_properties(vantrel_shared PROPERTIES
  OUTPUT_NAME vantrel
  EXPORT_NAME vantrel
  VERSION ${PROJECT_VERSION}
  SOVERSION 0
  LINK_DEPENDS ${VANTREL_EXPORTS_MAP})
