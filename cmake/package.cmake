# what `cmake --install` lays out, and the .deb that `cpack -G DEB` makes of it,
# laid out as Debian's own packages are
include(GNUInstallDirs)

# Debian's hardening flags (stack protector, fortified calls, full relro and
# bind-now), less its optimisation and debug choices, which the build type makes
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(DPKG_BUILDFLAGS AND NOT CUBESAVER_SANITIZE)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^(-O.*|-g|-ffile-prefix-map=.*)$")
    if(kind STREQUAL LDFLAGS)
      target_link_options(cubesaver PRIVATE ${flags})
    else()
      target_compile_options(cubesaver PRIVATE ${flags})
    endif()
  endforeach()
endif()

# the manual page and the changelog go compressed, as Debian's do
configure_file(docs/cubesaver.6.in cubesaver.6 @ONLY)
set(compressed ${CMAKE_CURRENT_BINARY_DIR}/cubesaver.6.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${compressed}
  COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/cubesaver.6 > cubesaver.6.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/docs/changelog > changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/cubesaver.6 docs/changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_custom_target(compressed_docs ALL DEPENDS ${compressed})

install(TARGETS cubesaver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# a stripped install (cpack's) also drops the sections Debian's packages drop
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/cubesaver\")
  endif()")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cubesaver.6.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
# the copyright file carries the licence, so LICENSE itself is not installed
install(FILES README.md docs/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "cubesaver developers <cubesaver@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "red cubes on the screen until the mouse moves")
set(CPACK_PACKAGE_DESCRIPTION
  "A small full-screen program that behaves like a screen saver. It takes the\n"
  "X display at 640x480 in 16-bit colour and, 120 times a second, stamps a red\n"
  "cube with black edges at a random place, until the mouse moves. Keys and\n"
  "buttons do nothing, and it takes no options. xautolock starts it when the\n"
  "desktop is idle.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# an X screen saver that a session starts at idle, in /usr/bin as xscreensaver
# and xautolock are, so that every PATH finds it
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
# nothing starts it at idle without one of these
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xautolock | xss-lock")
# Depends from the libraries the binary really links
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
