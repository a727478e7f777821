# The Debian package: the program under /usr/bin, its man page, gzipped,
# under /usr/share/man/man1, and its copyright file and changelog under
# /usr/share/doc/stormer-pi. Where the project's FLINT is in use
# (cmake/flint.cmake), the package carries both its copies in
# /usr/lib/<multiarch>/stormer-pi, which the program finds through its
# RUNPATH. `cpack -G DEB` in a build folder makes
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

# The maintainer comes from the environment; the default only holds a place.
if(NOT "$ENV{STORMER_MAINTAINER}" STREQUAL "")
    set(STORMER_MAINTAINER "$ENV{STORMER_MAINTAINER}")
else()
    set(STORMER_MAINTAINER "stormer-pi developers <stormer-pi@localhost>")
endif()
if(PROJECT_VERSION)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
    set(CPACK_PACKAGE_VERSION 1.0.0)
endif()

# A native package (no Debian revision), so its changelog is changelog.gz.
set(stormer_doc ${CMAKE_CURRENT_BINARY_DIR}/doc)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/changelog.in ${stormer_doc}/changelog @ONLY)
# The copyright file is written as CMake runs, since what it holds depends
# on which FLINT is in use.
set(stormer_copyright_inputs ${CMAKE_CURRENT_SOURCE_DIR}/docs/copyright)
if(STORMER_FLINT_BUNDLED)
    list(APPEND stormer_copyright_inputs ${STORMER_FLINT_ROOT}/share/doc/flint/copyright ${STORMER_FLINT_VERSION})
endif()
execute_process(
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian-copyright.sh ${stormer_doc}/copyright ${stormer_copyright_inputs}
    COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian-copyright.sh ${CMAKE_CURRENT_SOURCE_DIR}/docs/copyright)
add_custom_command(
    OUTPUT ${stormer_doc}/changelog.gz
    COMMAND ${STORMER_GZIP} -9nkf ${stormer_doc}/changelog
    DEPENDS ${stormer_doc}/changelog
    COMMENT "Compressing the changelog"
    VERBATIM)
add_custom_target(stormer-pi-doc ALL DEPENDS ${stormer_doc}/changelog.gz)
install(FILES ${stormer_doc}/copyright ${stormer_doc}/changelog.gz DESTINATION share/doc/stormer-pi)

# The project's FLINT: the plain copy in a private folder,
# lib/<multiarch>/stormer-pi, the x86-64-v3 one in its
# glibc-hwcaps/x86-64-v3, where the loader looks first on processors with
# AVX2. (Not lib/stormer-pi: CPack would then add ldconfig calls that
# nothing needs.) $ORIGIN keeps any install prefix, and an unpacked
# package, working. Only what the loader wants: the library, stripped as
# Debian strips libraries, under its soname (libflint.so.N), the name the
# loader looks for. No link to it: CPack counts a link in the package's
# Installed-Size as the whole file it points to.
if(STORMER_FLINT_BUNDLED)
    if(CMAKE_LIBRARY_ARCHITECTURE)
        set(stormer_private_lib lib/${CMAKE_LIBRARY_ARCHITECTURE}/stormer-pi)
    else()
        set(stormer_private_lib lib/stormer-pi)
    endif()
    set(stormer_flint_files)
    foreach(copy IN ITEMS "." "glibc-hwcaps/x86-64-v3")
        file(GLOB candidates "${STORMER_FLINT_ROOT}/lib/${copy}/libflint.so.*")
        foreach(candidate IN LISTS candidates)
            get_filename_component(name "${candidate}" NAME)
            if(NOT name MATCHES "^libflint\\.so\\.[0-9]+$")
                continue()
            endif()
            get_filename_component(library "${candidate}" REALPATH)
            set(out "${CMAKE_CURRENT_BINARY_DIR}/flint-lib/${copy}/${name}")
            if(IS_SYMLINK "${out}")
                file(REMOVE "${out}") # an older build's link, which would pass for the library
            endif()
            add_custom_command(OUTPUT "${out}"
                COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/flint-lib/${copy}"
                COMMAND ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment -o "${out}" "${library}"
                DEPENDS "${library}"
                COMMENT "Stripping FLINT (${name} in ${copy})"
                VERBATIM)
            list(APPEND stormer_flint_files "${out}")
            install(FILES "${out}" DESTINATION "${stormer_private_lib}/${copy}")
        endforeach()
    endforeach()
    add_custom_target(stormer-pi-flint ALL DEPENDS ${stormer_flint_files})
    set_target_properties(stormer-pi PROPERTIES INSTALL_RPATH "\$ORIGIN/../${stormer_private_lib}")
else()
    add_custom_target(stormer-pi-flint)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stormer-pi)
set(CPACK_PACKAGE_CONTACT "${STORMER_MAINTAINER}")
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
