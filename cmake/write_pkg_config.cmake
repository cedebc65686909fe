# Writes vantrel.pc at install time, run from cmake/install.cmake's install
# code with the VANTREL_PC_* variables set. Directories given relative are
# taken below the prefix being installed to.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${VANTREL_PC_${dir}}")
    set(VANTREL_PC_${dir}_PATH "${VANTREL_PC_${dir}}")
  else()
    set(VANTREL_PC_${dir}_PATH "\${prefix}/${VANTREL_PC_${dir}}")
  endif()
endforeach()
set(VANTREL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
configure_file("${VANTREL_PC_TEMPLATE}" "${VANTREL_PC_OUTPUT}" @ONLY)
