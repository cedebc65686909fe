# `cpack` (or `./dev package`): one Debian package, `vantrel`, holding every
# install component (the programs, the shared and static libraries, headers,
# manual pages, completions, examples) plus the service units, installed but
# not enabled: `systemctl enable --now vantrel.socket` turns the service on.

# The units only make sense in a system package, so a plain `cmake --install`
# leaves them out; the package names this component itself. The units are
# written for /usr/bin/vantrel: installing them points them at the program
# actually installed.
set(VANTREL_UNIT_DIR lib/systemd/system)
foreach(unit vantrel.socket vantrel@.service)
  install(CODE "
    set(unit_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VANTREL_UNIT_DIR}\")
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/systemd/${unit}\" text)
    string(REPLACE \"/usr/bin/vantrel\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vantrel\" text \"\${text}\")
    file(MAKE_DIRECTORY \"\${unit_dir}\")
    file(WRITE \"\${unit_dir}/${unit}\" \"\${text}\")
    file(CHMOD \"\${unit_dir}/${unit}\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit_dir}/${unit}\")
  " COMPONENT service EXCLUDE_FROM_ALL)
endforeach()

# Debian wants the licence as share/doc/PACKAGE/copyright.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel RENAME copyright
  COMPONENT package EXCLUDE_FROM_ALL)
# A vantrel program with simdjson compiled in carries simdjson's licence
# (Apache-2.0), kept beside its source by ./dev.
get_filename_component(_vantrel_simdjson_dir "${VANTREL_SIMDJSON_SOURCE}" DIRECTORY)
if(TARGET vantrel_simdjson_static AND EXISTS ${_vantrel_simdjson_dir}/LICENSE)
  install(FILES ${_vantrel_simdjson_dir}/LICENSE
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel RENAME simdjson-LICENSE
    COMPONENT package EXCLUDE_FROM_ALL)
endif()

set(VANTREL_PACKAGE_MAINTAINER "Vantrel Ward authors <vantrel-ward@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VENDOR "The Vantrel Ward authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VANTREL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "security scanner for text going into and out of a local language model")
set(CPACK_PACKAGE_DESCRIPTION
    "Vantrel Ward scans prompts before they reach a local language model and
responses before they reach the user: detectors run over the text, their
evidence is fused into an attack probability, and the verdict (allow, allow
with a warning, block) is printed as a report or one JSON line. It runs as a
command in pipelines, as a daemon behind a socket (systemd units included,
not enabled), or embedded through its C and C++ library.
.
This package holds the programs vantrel and vantrel-patterns, their manual
pages and shell completions, the shared and static libraries with headers,
CMake and pkg-config files, and examples.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vantrel)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Every component in the one package, the two left out of `cmake --install`
# included.
set(CPACK_COMPONENTS_ALL programs library development service package)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_PACKAGE_NAME vantrel)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from what the binaries actually link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The static library and the CMake package need these to be linked against.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libicu-dev, libsimdjson-dev, pkgconf")
# A shlibs file for packages linking libvantrel.so.0. (With maintainer
# scripts of our own, cpack writes no ldconfig call: the triggers file asks
# for it.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)

include(CPack)
