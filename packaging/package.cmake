# Packages: `cpack` in the build folder makes a .deb and a .tar.gz of the same
# tree under /usr: the stripped relay, its manual page and the changelog
# gzipped, the licence as the copyright file, and, when the relay is static, a
# lintian override for that. These files are the install component "package",
# which a plain `cmake --install` leaves out: that installs the relay and the
# manual page as they are, and needs nothing but CMake.

# gzip is needed only when packaging, so it is looked up without REQUIRED and
# checked by compress.cmake at install time.
find_program(BRINDOCK_GZIP gzip)
set(packaging_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
install(CODE "
  set(brindock_gzip [[${BRINDOCK_GZIP}]])
  set(brindock_version [[${PROJECT_VERSION}]])
  set(brindock_changelog [[${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog]])
  set(brindock_compress [[${CMAKE_CURRENT_SOURCE_DIR}/man/brindock.1;${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog]])
  set(brindock_packaging_dir [[${packaging_dir}]])"
  COMPONENT package EXCLUDE_FROM_ALL)
install(SCRIPT packaging/compress.cmake COMPONENT package EXCLUDE_FROM_ALL)
install(FILES ${packaging_dir}/brindock.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT package EXCLUDE_FROM_ALL)
install(FILES ${packaging_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT package EXCLUDE_FROM_ALL)
install(FILES LICENSE RENAME copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT package EXCLUDE_FROM_ALL)
if(BRINDOCK_LINK_STATIC)
  install(FILES packaging/lintian-overrides RENAME brindock
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT package EXCLUDE_FROM_ALL)
endif()

# The description: a summary line (which CPack puts first), then the README's
# first paragraph.
file(READ README.md readme)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md)
if(NOT readme MATCHES "^# brindock\n\n([^\n]+(\n[^\n]+)*)")
  message(FATAL_ERROR "README.md: no first paragraph under its title for the package's description")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay length-prefixed packets to and from a shell command")
set(CPACK_PACKAGE_DESCRIPTION "${CMAKE_MATCH_1}")

set(CPACK_PACKAGE_VENDOR "the brindock authors")
set(CPACK_PACKAGE_CONTACT "the brindock authors <brindock@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The relay and the package's own files; not the plain manual page.
set(CPACK_INSTALL_CMAKE_PROJECTS
  ${CMAKE_BINARY_DIR} ${PROJECT_NAME} relay /
  ${CMAKE_BINARY_DIR} ${PROJECT_NAME} package /)
# Folders 0755 whatever the umask of whoever runs cpack.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Cross-compiled, the package is for the compiler's target, which dpkg on this
# machine cannot tell; otherwise CPack asks dpkg.
function(brindock_debian_architecture)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
    OUTPUT_VARIABLE triple OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  set(architectures ^x86_64- amd64 ^aarch64- arm64 ^arm.*-gnueabihf$ armhf ^arm.*-gnueabi$ armel
    ^i[3-6]86- i386 ^s390x- s390x ^powerpc64le- ppc64el ^riscv64- riscv64)
  while(architectures)
    list(POP_FRONT architectures pattern debian)
    if(status EQUAL 0 AND triple MATCHES "${pattern}")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian} PARENT_SCOPE)
      return()
    endif()
  endwhile()
  message(FATAL_ERROR "No Debian architecture known for the target '${triple}': "
    "configure with -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE=<architecture>")
endfunction()
if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  brindock_debian_architecture()
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Linked statically (where it can be), the relay needs no library at run time and
# the package depends on nothing; linked dynamically, dpkg-shlibdeps finds what
# it needs.
if(NOT BRINDOCK_LINK_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
