# The Debian packages `cpack -G DEB` makes, one per install component (see install.cmake):
#
#   koru_<version>_<arch>.deb         the program, its manual page and the README
#   libkoru1_<version>_<arch>.deb     the shared library, with its shlibs file and the ldconfig
#                                     trigger
#   libkoru-dev_<version>_<arch>.deb  the header, the libkoru.so link and koru.pc
#
# The program is linked with the code itself, not with libkoru, so koru does not depend on
# libkoru1. Every package holds share/doc/<package>/copyright and changelog.Debian.gz.

set(KORU_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
configure_file(cmake/debian/changelog.in ${KORU_DEBIAN_DIR}/changelog @ONLY)
# Compressed as Debian wants them: the best compression, and no name or date in the header so
# that the same text always gives the same bytes.
add_custom_command(
  OUTPUT ${KORU_DEBIAN_DIR}/koru.1.gz ${KORU_DEBIAN_DIR}/changelog.Debian.gz
  COMMAND sh -c "gzip -9n -c koru.1 > debian/koru.1.gz"
  COMMAND sh -c "gzip -9n -c debian/changelog > debian/changelog.Debian.gz"
  DEPENDS ${CMAKE_BINARY_DIR}/koru.1 ${KORU_DEBIAN_DIR}/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
add_custom_target(koru_debian_files ALL
  DEPENDS ${KORU_DEBIAN_DIR}/koru.1.gz ${KORU_DEBIAN_DIR}/changelog.Debian.gz)

install(FILES ${KORU_DEBIAN_DIR}/koru.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT program EXCLUDE_FROM_ALL)
foreach(component_package program:koru library:libkoru1 development:libkoru-dev)
  string(REPLACE ":" ";" component_package ${component_package})
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES cmake/debian/copyright ${KORU_DEBIAN_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${component}_FILE_NAME DEB-DEFAULT)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME koru)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KORU developers <koru@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KORU developers <koru@example.org>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program library development)

# The first line of each description is its summary; CPack indents the lines that follow.
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "console FTP download agent
KORU compares a local directory with a directory on an FTP server and
downloads only what is missing or incomplete locally, verifying every file
by its size and dating it like the remote one. It can resume partial
downloads, move files off the server after a verified download and mirror
whole directory trees, over plain FTP or FTP over TLS.")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "C library of the KORU FTP download agent
libkoru offers KORU's FTP login and local file procedures to C programs,
with counted byte strings allocated and released by the library itself.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "C library of the KORU FTP download agent - development files
The header koru.h, the link libkoru.so and the pkg-config file koru.pc,
for building C programs that use libkoru.")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION net)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Library dependencies come from what the binaries link (dpkg-shlibdeps); libkoru1 says in its
# shlibs file that any later release serves a program built against this one.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkoru1 (= ${PROJECT_VERSION})")
# The trigger runs ldconfig once per dpkg run. CPack of this CMake writes a postinst and postrm
# calling ldconfig besides (lintian warns of it); they are harmless.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The files are staged under DESTDIR with the real prefix /usr, so koru.pc names /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
