# Warnings as errors for our own targets only. -Wconversion in C++ is about narrowing
# (64-bit sizes into int, integers into double) and catches real truncations of file sizes;
# sign conversions are left out, Qt's int-based APIs would bury the useful ones.
function(korvane_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Werror)
endfunction()

# Qt warns when the session has no runtime folder, as under CI; a test fails on any Qt warning.
set(KORVANE_TEST_RUNTIME_DIR "${CMAKE_BINARY_DIR}/test-runtime")
file(MAKE_DIRECTORY "${KORVANE_TEST_RUNTIME_DIR}")
file(CHMOD "${KORVANE_TEST_RUNTIME_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# What a test exercises, as ctest labels (`ctest -L logic`):
#   logic    engine units on QtCore (and QImage), no window
#   window   widgets driven offscreen
#   process  starts real programs: the built binaries, helpers, tumbler, runuser
#   wine     runs real Wine on the shared prefix
#   office   runs real LibreOffice
#   package  builds and checks the Debian package
set(KORVANE_TEST_LABELS logic window process wine office package)

# Building korvane_tests_<label> builds the tests of that label and what they start, and
# nothing else: the quick preset builds korvane_tests_logic.
function(korvane_label_test name)
    foreach(label IN LISTS ARGN)
        if(NOT label IN_LIST KORVANE_TEST_LABELS)
            message(FATAL_ERROR "${name}: unknown test label '${label}' (one of ${KORVANE_TEST_LABELS})")
        endif()
        if(NOT TARGET korvane_tests_${label})
            add_custom_target(korvane_tests_${label})
        endif()
        if(TARGET ${name})
            add_dependencies(korvane_tests_${label} ${name})
        endif()
    endforeach()
    set_property(TEST ${name} APPEND PROPERTY LABELS ${ARGN})
endfunction()

# The shared sample files; the tests that read them skip, naming this folder, when it is absent.
set(KORVANE_TESTDATA "${PROJECT_SOURCE_DIR}/../shared/testdata")
cmake_path(NORMAL_PATH KORVANE_TESTDATA)

# A Qt Test executable registered with ctest, run headless with a time limit and labelled with
# what it exercises (LABELS, see above). Its main comes from tests/support/testmain.h, which
# fails the test on any Qt warning.
function(korvane_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ARG_LABELS)
        message(FATAL_ERROR "${name}: korvane_add_test needs LABELS")
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    korvane_warnings(${name})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${KORVANE_TEST_RUNTIME_DIR};KORVANE_TESTDATA=${KORVANE_TESTDATA};KORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
    korvane_label_test(${name} ${ARG_LABELS})
endfunction()

# Debian's hardening flags, as dpkg-buildflags gives them with every hardening feature on
# (fortified functions, stack protector, read-only relocations bound at start), for every target,
# so that the package passes lintian's hardening checks. Optimisation and debug information stay
# the build type's. Not with the sanitizers or the fuzzers, which instrument the same functions.
option(KORVANE_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)" ON)
function(korvane_debian_hardening)
    find_program(KORVANE_DPKG_BUILDFLAGS dpkg-buildflags)
    if(NOT KORVANE_HARDENING OR NOT KORVANE_DPKG_BUILDFLAGS OR KORVANE_SANITIZE OR KORVANE_FUZZ)
        return()
    endif()
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                                ${KORVANE_DPKG_BUILDFLAGS} --get ${kind}
                        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
        separate_arguments(flags UNIX_COMMAND "${flags}")
        list(FILTER flags EXCLUDE REGEX "^-g$|^-O|^-ffile-prefix-map=")
        set(${kind} ${flags})
    endforeach()
    # Fortification needs an optimised build; without one glibc's headers warn, and warnings fail.
    foreach(flag IN LISTS CPPFLAGS)
        if(flag MATCHES "^-D_FORTIFY_SOURCE")
            add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:${flag}>)
        else()
            add_compile_options(${flag})
        endif()
    endforeach()
    add_compile_options(${CXXFLAGS})
    add_link_options(${LDFLAGS})
endfunction()
