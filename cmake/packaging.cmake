# The Debian package: the program under /usr/bin and its man page, gzipped,
# under /usr/share/man/man1. `cpack -G DEB` in a build folder makes
# stormer-pi_<version>_<arch>.deb there; its Depends line comes from
# dpkg-shlibdeps, which reads the shared libraries the program was linked
# against (scripts/package.sh installs the tools it needs).

# The man page, compressed as Debian keeps man pages: gzip -9n leaves out the
# name and the time stamp, so the same page always gives the same bytes.
find_program(STORMER_GZIP gzip REQUIRED)
set(stormer_man_page ${CMAKE_CURRENT_BINARY_DIR}/man/stormer-pi.1)
add_custom_command(
    OUTPUT ${stormer_man_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/docs/stormer-pi.1 ${stormer_man_page}
    COMMAND ${STORMER_GZIP} -9nf ${stormer_man_page}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/stormer-pi.1
    COMMENT "Compressing the man page"
    VERBATIM)
add_custom_target(stormer-pi-man ALL DEPENDS ${stormer_man_page}.gz)
install(FILES ${stormer_man_page}.gz DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stormer-pi)
if(PROJECT_VERSION)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
    set(CPACK_PACKAGE_VERSION 1.0.0)
endif()
set(CPACK_PACKAGE_CONTACT "stormer-pi developers <stormer-pi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interactive computation of pi by Størmer's arctangent formula")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "stormer-pi asks on its standard input how many decimal places of pi to
compute, from 10 to 1,600,000, and prints them with the number of series
terms used and the time taken. It sums Størmer's formula,
pi/4 = 6 arctan(1/8) + 2 arctan(1/57) + arctan(1/239), in fixed-point
numbers of base 1000; the last digits carry that arithmetic's truncation.
A result can be saved to a text file in the current directory.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME stormer-pi)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION math)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

include(CPack)
