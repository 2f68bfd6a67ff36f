# Runs at install time, from the install() code of CMakeLists.txt: fills a
# template with the prefix being installed to (which `cmake --install
# --prefix` may choose only now) and the version, then installs it. So what is
# installed finds the rest of its install, never the source tree.
#
# Set before it is included: P64_TEMPLATE (the template), P64_STAGED (where
# the filled file is written in the build tree), P64_DESTINATION (a directory
# relative to the prefix), P64_VERSION, and P64_PROGRAM (true for a program).
set(PROCESSORS64_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(PROCESSORS64_BINDIR "${CMAKE_INSTALL_PREFIX}/${P64_BINDIR}")
set(PROCESSORS64_SHAREDIR "${CMAKE_INSTALL_PREFIX}/${P64_DATADIR}/processors64")
set(PROJECT_VERSION "${P64_VERSION}")
# The installed commands find their Python package relative to themselves,
# so a prefix moved as a whole still works.
file(RELATIVE_PATH PROCESSORS64_PYTHON_FROM_BIN "${CMAKE_INSTALL_PREFIX}/${P64_BINDIR}"
  "${CMAKE_INSTALL_PREFIX}/${P64_PYTHONDIR}")
file(RELATIVE_PATH PROCESSORS64_SHARE_FROM_BIN "${CMAKE_INSTALL_PREFIX}/${P64_BINDIR}"
  "${PROCESSORS64_SHAREDIR}")
if(P64_TEMPLATE MATCHES "\\.[1-9]\\.in$")
  # A man page may break a long prefix after any slash (troff's \: is a
  # break point that prints nothing), so no width of terminal is too narrow for it.
  string(REPLACE "/" "/\\:" PROCESSORS64_PREFIX "${PROCESSORS64_PREFIX}")
endif()
configure_file("${P64_TEMPLATE}" "${P64_STAGED}" @ONLY)
if(P64_PROGRAM)
  set(permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
else()
  set(permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
file(INSTALL "${P64_STAGED}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${P64_DESTINATION}"
  PERMISSIONS ${permissions})
