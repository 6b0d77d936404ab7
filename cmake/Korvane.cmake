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

# A Qt Test executable registered with ctest, run headless with a time limit. Its main comes
# from tests/support/testmain.h, which fails the test on any Qt warning.
function(korvane_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    korvane_warnings(${name})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${KORVANE_TEST_RUNTIME_DIR};KORVANE_TESTDATA=${CMAKE_SOURCE_DIR}/../shared/testdata;KORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
