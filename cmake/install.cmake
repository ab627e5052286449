# What `cmake --install` puts where, under GNU directory names, and the Debian packages that
# `cpack -G DEB` makes from the same rules, one per install component:
#
#   bin/koru                              the program                          program
#   share/man/man1/koru.1                 the manual page                      manual
#   share/doc/koru/README.md                                                   program
#   lib/<multiarch>/libkoru.so.X.Y.Z      the C library and its SONAME link    library
#   lib/<multiarch>/libkoru.so.X          libkoru.so.X
#   lib/<multiarch>/libkoru.so            the link for the linker              development
#   lib/<multiarch>/pkgconfig/koru.pc     the compiler and linker flags for C callers
#   include/koru.h                        the C header
#
# The packages koru (program), libkoru1 (library) and libkoru-dev (development) hold besides, as
# Debian wants them, the manual page compressed and in each share/doc/<package>/ the copyright
# file and the Debian changelog, compressed. These are installed only by an installation of
# their component (EXCLUDE_FROM_ALL), which is what CPack makes: a plain `cmake --install` leaves
# them out.

# Debian keeps libraries in a directory named for the architecture, under /usr and under
# /usr/local alike; elsewhere GNUInstallDirs decides.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
      "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)

install(TARGETS koru RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(TARGETS koru_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT library NAMELINK_COMPONENT development)
install(FILES app/c_api/koru.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# The manual page carries the release number in its footer.
configure_file(doc/koru.1.in ${CMAKE_BINARY_DIR}/koru.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/koru.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)

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
" COMPONENT development)


include(cmake/debian.cmake)
