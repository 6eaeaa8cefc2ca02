# Installs the library with its SONAME links, the header, a relocatable
# pkg-config file, a CMake package, the tool with its man page and the
# Python package.
include(CMakePackageConfigHelpers)

set_target_properties(trivanex-wikitext-table PROPERTIES EXPORT_NAME wikitext-table)
install(TARGETS trivanex-wikitext-table EXPORT trivanex-wikitext-table-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/wttable.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS trivanex-wikitext-tables LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES tables/wttable_tables.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS wttable RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET wttable-dump)
  install(TARGETS wttable-dump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cli/wttable-dump.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cli/wttable.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
configure_file(man/wttable.3.in ${CMAKE_CURRENT_BINARY_DIR}/wttable.3 @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/wttable.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# pkg-config: the prefix is found from the .pc file's own place.
file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR
  "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCDIR "${PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/trivanex-wikitext-table.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/trivanex-wikitext-table.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trivanex-wikitext-table.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(WTTABLE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/trivanex-wikitext-table)
install(EXPORT trivanex-wikitext-table-targets NAMESPACE trivanex::
  DESTINATION ${WTTABLE_CMAKE_DIR})
configure_package_config_file(cmake/trivanex-wikitext-table-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/trivanex-wikitext-table-config.cmake
  INSTALL_DESTINATION ${WTTABLE_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/trivanex-wikitext-table-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/trivanex-wikitext-table-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/trivanex-wikitext-table-config-version.cmake
  DESTINATION ${WTTABLE_CMAKE_DIR})

# Python: the package goes where the chosen interpreter looks for the
# prefix's packages, with a relative link to the library and package
# metadata (so pip sees it).  WTTABLE_PYTHON picks the interpreter.
find_package(Python3 COMPONENTS Interpreter)
set(WTTABLE_PYTHON "${Python3_EXECUTABLE}" CACHE FILEPATH "Python that make install installs the package for")
if(WTTABLE_PYTHON)
  install(CODE "
    execute_process(COMMAND \"${WTTABLE_PYTHON}\"
      \"${CMAKE_CURRENT_SOURCE_DIR}/cmake/install_python_package.py\"
      \"${CMAKE_CURRENT_SOURCE_DIR}/python/trivanex_wikitext_table\"
      \"\${CMAKE_INSTALL_PREFIX}\"
      \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libtrivanex-wikitext-table.so.${WTTABLE_SOVERSION}\"
      \"${PROJECT_VERSION}\" \"\$ENV{DESTDIR}\"
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"installing the Python package failed\")
    endif()
  ")
endif()
