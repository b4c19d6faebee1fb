# What `cmake --install` and `cpack -G DEB` put in place, under the prefix:
#   bin/corvane-north                     the north service
#   lib/lakesink/liblakesink.so.1         the plugin (and its versioned file)
#   lib/lakesink/libcommon-lib.so.1       the host library both of them use
#   lib/lakesink/libwarehouse-emulator.so the warehouse emulator (ODBC driver)
#   share/lakesink/odbcinst.ini           registers the emulator as
#                                         DatabricksODBCDriver (ODBCSYSINI)
#   share/doc/lakesink/README.md
# The programs find their libraries relative to themselves, so the tree works
# wherever it is installed, and corvane-north loads the plugin of its own tree
# unless --plugin names another.
set(LAKESINK_INSTALL_LIBDIR lib/lakesink)
# Installing and packaging take what is built; they do not build the whole
# tree (tests and benchmarks included) first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set_target_properties(corvane-north PROPERTIES INSTALL_RPATH "$ORIGIN/../${LAKESINK_INSTALL_LIBDIR}")
set_target_properties(lakesink common-lib PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS corvane-north RUNTIME DESTINATION bin)
install(TARGETS lakesink common-lib
  LIBRARY DESTINATION ${LAKESINK_INSTALL_LIBDIR} NAMELINK_SKIP)
if(TARGET warehouse-emulator)
  install(TARGETS warehouse-emulator LIBRARY DESTINATION ${LAKESINK_INSTALL_LIBDIR})
  # The driver's path depends on the prefix given at install time.
  install(CODE "
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(MAKE_DIRECTORY \"\${root}/share/lakesink\")
    file(WRITE \"\${root}/share/lakesink/odbcinst.ini\"
\"[DatabricksODBCDriver]
Description=lakesink warehouse emulator (SQLite)
Driver=\${CMAKE_INSTALL_PREFIX}/${LAKESINK_INSTALL_LIBDIR}/libwarehouse-emulator.so
Setup=
UsageCount=1
Threading=0
\")
    message(STATUS \"Installing: \${root}/share/lakesink/odbcinst.ini\")")
endif()
install(FILES README.md DESTINATION share/doc/lakesink)

set(CPACK_PACKAGE_NAME lakesink)
set(CPACK_PACKAGE_VENDOR "lakesink")
set(CPACK_PACKAGE_CONTACT "lakesink maintainers <lakesink@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Corvane north plugin writing readings to a Databricks SQL warehouse, with corvane-north")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries of lib/lakesink are the package's own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR};${CMAKE_BINARY_DIR}/host")
include(CPack)
