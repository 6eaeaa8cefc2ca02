# Installs the library with its SONAME links, the header, a relocatable
# pkg-config file, a CMake package, the tool with its man page and the
# Python package.
include(CMakePackageConfigHelpers)

set_target_properties(trivanex-wikitext-table PROPERTIES EXPORT_NAME wikitext-table)
install(TARGETS trivanex-wikitext-table EXPORT trivanex-wikitext-table-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/wttable.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
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

# Python: the package goes into the prefix's site-packages, with a relative
# link to the library beside it, so that it loads wherever the prefix lies.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  execute_process(COMMAND ${Python3_EXECUTABLE} -c
    "import sysconfig; print(sysconfig.get_path('purelib', vars={'base': '', 'platbase': ''}).lstrip('/'))"
    OUTPUT_VARIABLE WTTABLE_PYTHON_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  set(WTTABLE_PYTHON_DIR ${CMAKE_INSTALL_LIBDIR}/python3/site-packages)
endif()
install(DIRECTORY python/trivanex_wikitext_table DESTINATION ${WTTABLE_PYTHON_DIR}
  PATTERN __pycache__ EXCLUDE)
install(CODE "
  set(package \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${WTTABLE_PYTHON_DIR}/trivanex_wikitext_table\")
  file(RELATIVE_PATH to_lib \"\${package}\"
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libtrivanex-wikitext-table.so.${WTTABLE_SOVERSION}\")
  file(CREATE_LINK \"\${to_lib}\" \"\${package}/libtrivanex-wikitext-table.so.${WTTABLE_SOVERSION}\" SYMBOLIC)
  message(STATUS \"Python package: \${package} (add \${CMAKE_INSTALL_PREFIX}/${WTTABLE_PYTHON_DIR} to PYTHONPATH)\")
")
