# What `cmake --install` puts where, under GNU directory names, and the Debian package that
# `cpack -G DEB` makes from the same rules.
#
#   bin/koru                              the program
#   lib/<multiarch>/libkoru.so.X.Y.Z      the C library, its SONAME link libkoru.so.X and the
#                                         link libkoru.so for the linker
#   lib/<multiarch>/pkgconfig/koru.pc     the compiler and linker flags for C callers
#   include/koru.h                        the C header
#   share/man/man1/koru.1                 the manual page
#   share/doc/koru/README.md

# Debian keeps libraries in a directory named for the architecture, under /usr and under
# /usr/local alike; elsewhere GNUInstallDirs decides.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
      "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)

install(TARGETS koru RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS koru_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES app/c_api/koru.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The manual page carries the release number in its footer.
configure_file(doc/koru.1.in ${CMAKE_BINARY_DIR}/koru.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/koru.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# koru.pc names the prefix of the installation itself, which is known only when it runs
# (`cmake --install build --prefix P`), and never the DESTDIR staging directory in front of it.
# It is written at install time into a directory of the build named for that prefix, then
# installed like any other file; the written copy goes again.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(KORU_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(KORU_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KORU_PC_DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(KORU_PC_DESTINATION "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
install(CODE "
  set(KORU_PC_LIBDIR [[${KORU_PC_LIBDIR}]])
  set(KORU_PC_INCLUDEDIR [[${KORU_PC_INCLUDEDIR}]])
  set(KORU_PC_VERSION [[${PROJECT_VERSION}]])
  set(KORU_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  string(MD5 koru_pc_key \"\${CMAKE_INSTALL_PREFIX}\")
  set(koru_pc_file [[${CMAKE_BINARY_DIR}/pkgconfig]])
  string(APPEND koru_pc_file \"/\${koru_pc_key}/koru.pc\")
  configure_file([[${CMAKE_CURRENT_SOURCE_DIR}/cmake/koru.pc.in]] \"\${koru_pc_file}\" @ONLY)
  file(INSTALL DESTINATION \"${KORU_PC_DESTINATION}\"
       TYPE FILE FILES \"\${koru_pc_file}\")
  get_filename_component(koru_pc_dir \"\${koru_pc_file}\" DIRECTORY)
  file(REMOVE_RECURSE \"\${koru_pc_dir}\")
")

# The Debian package: koru_<version>_<arch>.deb, installed under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME koru)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KORU developers <koru@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KORU developers <koru@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console FTP download agent")
# The summary is the first line of the control file's description; CPack indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "KORU compares a local directory with a directory on an FTP server and
downloads only what is missing or incomplete locally, verifying every file
by its size and dating it like the remote one. It can resume partial
downloads, move files off the server after a verified download and mirror
whole directory trees.

The package also holds libkoru, a small C library with the program's FTP
login and local file procedures, its header and its pkg-config file.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The files are staged under DESTDIR with the real prefix /usr, so koru.pc names /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
