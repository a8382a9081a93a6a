# The notices check on each link map of MAPS (separated by "|"): it must pass
# with the notices as shipped, and refuse the map and name the notice once
# any one that the map needs is taken out.
#   cmake -D PERL=perl -D SOURCE_DIR=... -D "MAPS=a.map|b.map" -P link_notices_test.cmake
set(check ${SOURCE_DIR}/cmake/link_notices.pl)
set(notices ${SOURCE_DIR}/release/THIRD-PARTY-NOTICES.txt)
file(READ ${notices} text)
string(REPLACE "|" ";" MAPS "${MAPS}")
foreach(map IN LISTS MAPS)
    execute_process(COMMAND ${PERL} ${check} ${map} ${notices}
                    OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE failed)
    if(failed OR NOT said MATCHES "cover every library in the link map: ([^\n]+)")
        message(FATAL_ERROR "The notices check refuses ${map} (build its tree first):\n${said}")
    endif()
    set(shown "${CMAKE_MATCH_1}")
    string(REPLACE "; " ";" needed "${shown}")
    foreach(notice IN LISTS needed)
        string(REPLACE "\n${notice}\n" "\n" fewer "${text}")
        file(WRITE fewer-notices.txt "${fewer}")
        execute_process(COMMAND ${PERL} ${check} ${map} fewer-notices.txt
                        OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE failed)
        string(FIND "${said}" "the notice \"${notice}\" is missing" named)
        if(NOT failed OR named EQUAL -1)
            message(SEND_ERROR "Without the notice \"${notice}\" the check should refuse ${map} "
                               "and name it; it said:\n${said}")
        endif()
    endforeach()
    message(STATUS "${map}: each of its notices is needed: ${shown}")
endforeach()
