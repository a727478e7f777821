# FLINT and Arb. Three cases, in this order:
#  - the project's own FLINT (scripts/build-flint.sh): used whenever it is
#    built, unless STORMER_SYSTEM_FLINT is ON. Its plain amd64 copy sits in
#    lib/, the x86-64-v3 copy with fft_small in lib/glibc-hwcaps/x86-64-v3/;
#    the programs get a RUNPATH to lib/ and the loader picks the copy the
#    processor can run. Nothing of the system's FLINT or Arb is used then.
#  - FLINT 3 of the system, with Arb inside (its pkg-config file);
#  - FLINT 2 of the system with Arb 2 apart (no pkg-config file).
# Sets ARB_TARGETS, ARB_INSIDE_FLINT and, for packaging, STORMER_FLINT_BUNDLED
# with STORMER_FLINT_ROOT (the real path of the project's FLINT),
# STORMER_FLINT_VERSION and STORMER_FLINT_COMPLETE (both copies are built).

option(STORMER_SYSTEM_FLINT "Use the system's FLINT even where scripts/build-flint.sh has built one" OFF)
set(STORMER_FLINT_PREFIX "${CMAKE_SOURCE_DIR}/build-flint/install" CACHE PATH
    "Where scripts/build-flint.sh installs the project's FLINT")

# "VERSION, fft_small yes|no" from the headers in the folder given.
function(stormer_describe_flint include_dir out)
    set(version "?")
    if(EXISTS "${include_dir}/flint/flint.h")
        file(STRINGS "${include_dir}/flint/flint.h" line REGEX "^#define FLINT_VERSION \"[^\"]*\"")
        if(line MATCHES "\"([^\"]*)\"")
            set(version "${CMAKE_MATCH_1}")
        endif()
    endif()
    set(fft_small no)
    if(EXISTS "${include_dir}/flint/flint-config.h")
        file(STRINGS "${include_dir}/flint/flint-config.h" line REGEX "^#define FLINT_HAVE_FFT_SMALL 1")
        if(line)
            set(fft_small yes)
        endif()
    endif()
    set(${out} "${version}, fft_small ${fft_small}" PARENT_SCOPE)
    set(${out}_VERSION "${version}" PARENT_SCOPE)
endfunction()

set(STORMER_FLINT_BUNDLED OFF)
if(NOT STORMER_SYSTEM_FLINT AND EXISTS "${STORMER_FLINT_PREFIX}/include/flint/flint.h"
   AND EXISTS "${STORMER_FLINT_PREFIX}/lib/libflint.so")
    # The real path, so that a build folder made while build-flint was a
    # link to a shared cache keeps working, and RUNPATH names no link.
    file(REAL_PATH "${STORMER_FLINT_PREFIX}" flint_prefix)
    add_library(project_flint SHARED IMPORTED)
    set_target_properties(project_flint PROPERTIES
        IMPORTED_LOCATION "${flint_prefix}/lib/libflint.so"
        INTERFACE_INCLUDE_DIRECTORIES "${flint_prefix}/include"
        INTERFACE_LINK_LIBRARIES PkgConfig::GMP
        # RUNPATH rather than RPATH: LD_LIBRARY_PATH may still override it.
        # Every symbol bound at start: the headers are the v3 copy's, whose
        # inline code may call fft_small functions the plain copy lacks; such
        # a call then fails as the program starts, not in the middle of a run.
        INTERFACE_LINK_OPTIONS "LINKER:--enable-new-dtags;LINKER:-z,now")
    set(ARB_TARGETS project_flint)
    set(ARB_INSIDE_FLINT 1)
    set(STORMER_FLINT_BUNDLED ON)
    stormer_describe_flint("${flint_prefix}/include" flint_description)
    set(STORMER_FLINT_ROOT "${flint_prefix}")
    set(STORMER_FLINT_VERSION "${flint_description_VERSION}")
    if(EXISTS "${flint_prefix}/../complete")
        set(STORMER_FLINT_COMPLETE ON)
    else()
        set(STORMER_FLINT_COMPLETE OFF)
    endif()
    if(EXISTS "${flint_prefix}/lib/glibc-hwcaps/x86-64-v3/libflint.so")
        if(STORMER_FLINT_COMPLETE)
            set(flint_copies "x86-64-v3 copy in lib/glibc-hwcaps/x86-64-v3 (picked on AVX2), plain amd64 copy in lib")
        else()
            set(flint_copies "x86-64-v3 copy only, the plain copy not built yet")
        endif()
    else()
        set(flint_copies "one copy only")
    endif()
    message(STATUS "FLINT: ${flint_description} (the project's, scripts/build-flint.sh, ${flint_prefix}: "
                   "${flint_copies}); Arb inside")
else()
    pkg_check_modules(FLINT3 QUIET IMPORTED_TARGET flint>=3)
    if(FLINT3_FOUND)
        set(ARB_TARGETS PkgConfig::FLINT3)
        set(ARB_INSIDE_FLINT 1)
        pkg_get_variable(flint_include_dir flint includedir)
        stormer_describe_flint("${flint_include_dir}" flint_description)
        message(STATUS "FLINT: ${flint_description} (the system's); Arb inside")
    else()
        find_path(ARB_INCLUDE_DIR arb.h)
        find_path(FLINT_INCLUDE_DIR flint/flint.h)
        find_library(ARB_LIBRARY flint-arb)
        find_library(FLINT_LIBRARY flint)
        if(NOT ARB_INCLUDE_DIR OR NOT ARB_LIBRARY OR NOT FLINT_LIBRARY)
            message(FATAL_ERROR "Neither FLINT 3 (pkg-config module flint) nor Arb 2 with FLINT 2 (arb.h, "
                                "libflint-arb, libflint) was found: scripts/install-packages.sh names the packages.")
        endif()
        add_library(arb_with_flint INTERFACE)
        target_include_directories(arb_with_flint INTERFACE ${ARB_INCLUDE_DIR})
        target_link_libraries(arb_with_flint INTERFACE ${ARB_LIBRARY} ${FLINT_LIBRARY})
        set(ARB_TARGETS arb_with_flint)
        set(ARB_INSIDE_FLINT 0)
        stormer_describe_flint("${FLINT_INCLUDE_DIR}" flint_description)
        message(STATUS "FLINT: ${flint_description} (the system's, ${FLINT_LIBRARY}); Arb: ${ARB_LIBRARY}")
    endif()
endif()
