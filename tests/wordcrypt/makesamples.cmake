# Sample documents made by the real office from plain text, once for every office test (ctest
# fixture "office_samples"): each office start costs seconds. Without LibreOffice it makes
# nothing, and the tests skip. Run: cmake -DOUT=<folder> -P makesamples.cmake
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
find_program(SOFFICE soffice)
if(NOT SOFFICE)
    message(STATUS "LibreOffice missing: the office tests will skip")
    return()
endif()
set(sources)
foreach(name one two)
    file(WRITE "${OUT}/${name}.txt" "Korvane sample ${name}\n")
    list(APPEND sources "${OUT}/${name}.txt")
endforeach()
foreach(format doc docx)
    execute_process(COMMAND ${SOFFICE} "-env:UserInstallation=file://${OUT}/profile" --headless
                            --convert-to ${format} --outdir "${OUT}" ${sources}
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET TIMEOUT 180)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "LibreOffice could not make the ${format} samples: ${rc}")
    endif()
endforeach()
file(REMOVE_RECURSE "${OUT}/profile")
file(REMOVE ${sources})
