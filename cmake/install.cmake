# What `cmake --install` puts where (GNUInstallDirs), in three components a
# package can be split by:
#   programs     bin/vantrel, bin/vantrel-patterns, share/man/man1/,
#                share/bash-completion/, share/zsh/vendor-completions/,
#                share/doc/vantrel/examples/ (llamafile/, score_profile.json)
#   library      lib/libvantrel.so.0 (and the file it names)
#   development  include/vantrel/*.h, lib/libvantrel.a, lib/libvantrel.so,
#                lib/cmake/vantrel/ (find_package(vantrel CONFIG)),
#                lib/pkgconfig/vantrel.pc, share/doc/vantrel/examples/{c,cpp}/
# No file of the build machine is named in what is installed: build with the
# default VANTREL_BUILD_PATTERNS_FILE (empty) for an installed program.
include(CMakePackageConfigHelpers)

set(VANTREL_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vantrel)

install(TARGETS vantrel vantrel-patterns
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)

install(TARGETS vantrel_shared vantrel_core EXPORT vantrel_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
          NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/include/vantrel ${PROJECT_BINARY_DIR}/sdk/include/vantrel
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")

# find_package(vantrel CONFIG): vantrel::vantrel (the shared library, C
# interface) and vantrel::vantrel_static (C++ API and C interface; brings
# ICU and simdjson, which the package finds for its consumer).
install(EXPORT vantrel_targets NAMESPACE vantrel:: FILE vantrel-targets.cmake
  DESTINATION ${VANTREL_CMAKE_PACKAGE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vantrel-config.cmake.in
  ${PROJECT_BINARY_DIR}/vantrel-config.cmake INSTALL_DESTINATION ${VANTREL_CMAKE_PACKAGE_DIR})
# Until 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vantrel-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vantrel-config.cmake
              ${PROJECT_BINARY_DIR}/vantrel-config-version.cmake
  DESTINATION ${VANTREL_CMAKE_PACKAGE_DIR} COMPONENT development)

# vantrel.pc, written when installing so that it names the prefix installed
# to (`cmake --install --prefix` included).
install(CODE "
  set(VANTREL_PC_TEMPLATE \"${PROJECT_SOURCE_DIR}/cmake/vantrel.pc.in\")
  set(VANTREL_PC_OUTPUT \"${PROJECT_BINARY_DIR}/vantrel.pc\")
  set(VANTREL_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(VANTREL_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(VANTREL_PC_VERSION \"${PROJECT_VERSION}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/write_pkg_config.cmake\")
" COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/vantrel.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The programs' data files. Service units stay out: where they go depends
# on the system (a package puts them under lib/systemd/system).
install(FILES ${PROJECT_SOURCE_DIR}/docs/vantrel.1 ${PROJECT_SOURCE_DIR}/docs/vantrel-patterns.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
# bash-completion loads a command's file by the command's name.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/completions/vantrel.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vantrel
  COMPONENT programs)
# vantrel-patterns' completion is in the same file.
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/bash-completion/completions/vantrel-patterns\")
  file(CREATE_LINK vantrel \"\${link}\" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")
" COMPONENT programs)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/completions/_vantrel
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT programs)

# The examples, as documentation: the C and C++ programs build against the
# installed package from where they are installed.
set(VANTREL_EXAMPLES_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel/examples)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/c ${PROJECT_SOURCE_DIR}/examples/cpp
  DESTINATION ${VANTREL_EXAMPLES_DIR} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/llamafile
  DESTINATION ${VANTREL_EXAMPLES_DIR} COMPONENT programs USE_SOURCE_PERMISSIONS)
install(FILES ${PROJECT_SOURCE_DIR}/examples/score_profile.json
  DESTINATION ${VANTREL_EXAMPLES_DIR} COMPONENT programs)
