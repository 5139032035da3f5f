# what `cmake --install` lays out, and the .deb that `cpack -G DEB` makes of it
include(GNUInstallDirs)

configure_file(docs/cubesaver.6.in cubesaver.6 @ONLY)
install(TARGETS cubesaver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cubesaver.6 DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "cubesaver developers <cubesaver@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "red cubes on the screen until the mouse moves")
set(CPACK_PACKAGE_DESCRIPTION
  "A small full-screen program that behaves like a screen saver. It takes the\n"
  "X display at 640x480 in 16-bit colour and, 120 times a second, stamps a red\n"
  "cube with black edges at a random place, until the mouse moves. Keys and\n"
  "buttons do nothing, and it takes no options.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# Depends from the libraries the binary really links
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
