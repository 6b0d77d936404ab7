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

# A libFuzzer target (-DKORVANE_FUZZ=ON, clang only): SOURCES are compiled into it with
# coverage, so the readers under test are instrumented rather than linked from the gcc-built
# libraries; LIBS are linked as they are.
function(korvane_add_fuzzer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "KORVANE_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
    endif()
    set(fuzz_flags -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer)
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${name} PRIVATE ${fuzz_flags} -g -O1)
    target_link_options(${name} PRIVATE ${fuzz_flags})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES AUTOMOC OFF)
    korvane_warnings(${name})
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

# Qt's headers are most of the compile time of every unit, and twice over in the sanitizer
# build. Each group of targets that links the same Qt modules shares one precompiled header of
# those modules, made once by a donor target: GCC accepts a precompiled header only where the
# modules' QT_*_LIB macros and the compile flags are the same as when it was made. QtTest stays
# out: its header reads QT_TESTCASE_BUILDDIR, which differs from one test folder to the next.
option(KORVANE_PCH "Share precompiled Qt headers between targets" ON)

function(_korvane_qt_modules target out)
    set(modules)
    set(seen)
    set(pending ${target})
    while(pending)
        list(POP_FRONT pending current)
        if(current IN_LIST seen OR NOT TARGET ${current})
            continue()
        endif()
        list(APPEND seen ${current})
        if(current MATCHES "^Qt6::(Core|Gui|Widgets|Sql|Network)$")
            list(APPEND modules ${CMAKE_MATCH_1})
        endif()
        get_target_property(aliased ${current} ALIASED_TARGET)
        if(aliased)
            list(APPEND pending ${aliased})
        endif()
        get_target_property(type ${current} TYPE)
        set(links)
        if(NOT type STREQUAL "INTERFACE_LIBRARY")
            get_target_property(direct ${current} LINK_LIBRARIES)
            if(direct)
                list(APPEND links ${direct})
            endif()
        endif()
        get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
        if(interface)
            list(APPEND links ${interface})
        endif()
        foreach(link IN LISTS links)
            # Generator expressions ($<LINK_ONLY:…>) name targets too.
            string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
            if(NOT link MATCHES "^\\$<")
                list(APPEND pending ${link})
            endif()
        endforeach()
    endwhile()
    list(REMOVE_DUPLICATES modules)
    list(SORT modules)
    set(${out} ${modules} PARENT_SCOPE)
endfunction()

function(_korvane_targets_in dir out)
    get_directory_property(targets DIRECTORY ${dir} BUILDSYSTEM_TARGETS)
    get_directory_property(subdirs DIRECTORY ${dir} SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        _korvane_targets_in(${subdir} more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(_korvane_has_qobject_headers target out)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(found FALSE)
    foreach(source IN LISTS sources)
        if(NOT source MATCHES "\\.h$")
            continue()
        endif()
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir})
        if(EXISTS ${source})
            file(STRINGS ${source} objects REGEX "Q_OBJECT|Q_GADGET")
            if(objects)
                set(found TRUE)
                break()
            endif()
        endif()
    endforeach()
    set(${out} ${found} PARENT_SCOPE)
endfunction()

# Call once, after every target exists.
function(korvane_share_qt_headers)
    if(NOT KORVANE_PCH OR KORVANE_FUZZ)
        return()
    endif()
    _korvane_targets_in(${PROJECT_SOURCE_DIR} targets)
    get_directory_property(common_options DIRECTORY ${PROJECT_SOURCE_DIR} COMPILE_OPTIONS)
    list(APPEND common_options -Wall -Wextra -Wshadow -Wconversion -Werror)
    set(keys)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
            continue()
        endif()
        get_target_property(sources ${target} SOURCES)
        if(NOT sources)
            set(sources)
        endif()
        list(FILTER sources INCLUDE REGEX "\\.cpp$")
        # Targets with flags of their own (the office helper, fuzzers) keep their own parse.
        get_target_property(options ${target} COMPILE_OPTIONS)
        if(NOT options)
            set(options)
        endif()
        list(REMOVE_ITEM options ${common_options})
        if(NOT sources OR options)
            continue()
        endif()
        _korvane_qt_modules(${target} modules)
        if(NOT "Core" IN_LIST modules)
            continue()
        endif()
        string(JOIN "_" key ${modules})
        list(APPEND keys ${key})
        list(APPEND members_${key} ${target})
        list(LENGTH sources count)
        math(EXPR units_${key} "0${units_${key}} + ${count}")
    endforeach()
    list(REMOVE_DUPLICATES keys)
    foreach(key IN LISTS keys)
        # Making the header costs about as much as three units save.
        if(units_${key} LESS 4)
            continue()
        endif()
        set(donor korvane_qt_headers_${key})
        set(donor_source ${CMAKE_BINARY_DIR}/qt_headers/${key}.cpp)
        file(CONFIGURE OUTPUT ${donor_source} CONTENT "// Compiles the shared precompiled header.\n")
        add_library(${donor} OBJECT ${donor_source})
        set_target_properties(${donor} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
        string(REPLACE "_" ";" modules ${key})
        set(headers)
        foreach(module IN LISTS modules)
            target_link_libraries(${donor} PRIVATE Qt6::${module})
            list(APPEND headers <Qt${module}/Qt${module}>)
        endforeach()
        korvane_warnings(${donor})
        # Lets ccache cache the units that use the header (with CCACHE_SLOPPINESS
        # pch_defines,time_macros); the flag must be the same in donor and users.
        target_compile_options(${donor} PRIVATE -fpch-preprocess)
        target_precompile_headers(${donor} PRIVATE ${headers})
        foreach(target IN LISTS members_${key})
            target_precompile_headers(${target} REUSE_FROM ${donor})
            target_compile_options(${target} PRIVATE -fpch-preprocess)
            # The moc unit of a target without Q_OBJECT headers is empty (its sources include
            # their own moc output), and loading the header would be all its cost.
            get_target_property(automoc ${target} AUTOMOC)
            _korvane_has_qobject_headers(${target} qobject_headers)
            if(automoc AND NOT qobject_headers)
                get_target_property(binary_dir ${target} BINARY_DIR)
                set_source_files_properties(${binary_dir}/${target}_autogen/mocs_compilation.cpp
                    TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
            endif()
        endforeach()
    endforeach()
endfunction()
