# Warnings as errors for our own targets only. -Wconversion in C++ is about narrowing
# (64-bit sizes into int, integers into double) and catches real truncations of file sizes;
# sign conversions are left out, Qt's int-based APIs would bury the useful ones.
function(korvane_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Werror)
endfunction()

# A Qt Test executable registered with ctest, run headless with a time limit.
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
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KORVANE_TESTDATA=${CMAKE_SOURCE_DIR}/../shared/testdata;KORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
