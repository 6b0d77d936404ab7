# Builds the Windows fixtures with mingw and prepares one Wine prefix for every test that
# needs real Wine (ctest fixture "wine"). Without Wine or mingw it leaves no "ready" file and
# those tests skip. Run: cmake -DSRC=<this folder> -DOUT=<folder> -P prepare.cmake
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}/libs" "${OUT}/other")
find_program(WINE wine)
find_program(WINESERVER wineserver)
find_program(CC32 i686-w64-mingw32-gcc)
find_program(CC64 x86_64-w64-mingw32-gcc)
if(NOT WINE OR NOT WINESERVER OR NOT CC32 OR NOT CC64)
    message(STATUS "Wine or mingw-w64 missing: the tests with real Wine will skip")
    return()
endif()
# Debian's wine is the 32-bit loader; a kernel without 32-bit support cannot start it at all
# ("Exec format error"), which is a machine that cannot run these tests, not a failure of ours.
execute_process(COMMAND ${WINE} --version RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(STATUS "Wine cannot start here (${err}): the tests with real Wine will skip")
    return()
endif()
# Without wine32 Debian's wrapper falls back to wine64, which runs none of the 32-bit fixtures.
if(err MATCHES "wine32 is missing")
    message(STATUS "Wine has no 32-bit loader (wine32:i386): the tests with real Wine will skip")
    return()
endif()

function(build compiler output)
    execute_process(COMMAND ${compiler} -O1 -static-libgcc -Wl,--kill-at ${ARGN} -o "${output}"
                    RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "building ${output}: ${err}")
    endif()
endfunction()

set(com "${SRC}/comdll.c")
build(${CC32} "${OUT}/libs/com32.dll" -shared ${com} "-DKV_CLSID=\"{6B3F0F51-1D2C-4C7A-9E61-0A3B5C7D0001}\"")
build(${CC64} "${OUT}/libs/com64.ocx" -shared ${com} "-DKV_CLSID=\"{6B3F0F51-1D2C-4C7A-9E61-0A3B5C7D0002}\"")
build(${CC64} "${OUT}/libs/noreg.dll" -shared ${com} -DKV_NOREGISTER)
build(${CC32} "${OUT}/libs/fails.dll" -shared ${com} -DKV_FAIL "-DKV_CLSID=\"{6B3F0F51-1D2C-4C7A-9E61-0A3B5C7D0004}\"")
build(${CC32} "${OUT}/other/kvdep.dll" -shared "${SRC}/kvdep.c")
build(${CC32} "${OUT}/libs/needsdep.dll" -shared ${com} -DKV_IMPORT "${OUT}/other/kvdep.dll"
      "-DKV_CLSID=\"{6B3F0F51-1D2C-4C7A-9E61-0A3B5C7D0003}\"")
build(${CC32} "${OUT}/vb6stand.exe" -municode "${SRC}/vb6stand.c")
file(WRITE "${OUT}/libs/text.dll" "This is text, not a library.\n")

set(ENV{WINEPREFIX} "${OUT}/prefix")
set(ENV{WINEDEBUG} "-all")
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=") # no Mono or Gecko installer dialogs
execute_process(COMMAND ${WINE} wineboot -i RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "wineboot failed: ${rc}")
endif()
execute_process(COMMAND ${WINESERVER} -w) # the registry files are written when it ends
file(WRITE "${OUT}/ready" "")
