# Starts or stops a Wine session in the prefix $WINEPREFIX, in the caller's
# environment (cmake/wine.env), making the prefix first if need be; check
# changes nothing and fails for a prefix without its 32-bit side. ctest runs
# start and stop as a fixture around a Windows tree's tests; the demo and the
# benchmark run them too, and all share the prefix (and so HKCU): start takes
# the lock $WINEPREFIX.lock for the session's wineserver, which holds it until
# stop.
#   cmake -D ACTION=start|stop|check -D LOADER=wine|/usr/lib/wine/wine64
#         [-D DISPLAY_NEEDED=ON] -P WineSession.cmake
set(prefix "$ENV{WINEPREFIX}")
if(prefix STREQUAL "")
    message(FATAL_ERROR "WINEPREFIX is not set")
elseif(ACTION STREQUAL "stop")
    execute_process(COMMAND wineserver --kill INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
    return()
elseif(ACTION STREQUAL "start" AND NOT LOCKED)
    execute_process(COMMAND flock -w 600 -E 75 ${prefix}.lock
                            ${CMAKE_COMMAND} -D ACTION=start -D LOCKED=ON -D LOADER=${LOADER}
                            -D DISPLAY_NEEDED=${DISPLAY_NEEDED} -P ${CMAKE_CURRENT_LIST_FILE}
                    RESULT_VARIABLE status)
    if(status EQUAL 75)
        message(FATAL_ERROR "Another run has been using the Wine prefix ${prefix} for 10 minutes "
                "(it holds ${prefix}.lock). Let it finish; if none is running, end its session "
                "with: WINEPREFIX=${prefix} wineserver -k")
    elseif(NOT status EQUAL 0)
        message(FATAL_ERROR "The Wine session in ${prefix} did not start (see above).")
    endif()
    return()
endif()

# Output goes to /dev/null, not to a pipe: Wine's services outlive the
# command, and would hold a pipe open until they time out.
function(wine_run step)
    execute_process(COMMAND ${ARGN} INPUT_FILE /dev/null OUTPUT_FILE /dev/null
                    ERROR_FILE /dev/null RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        list(JOIN ARGN " " command)
        message(FATAL_ERROR "Wine failed ${step} in ${prefix}: `${command}` gave ${status}. Run "
                "it by hand with WINEDEBUG unset to see why: WINEPREFIX=${prefix} ${command}")
    endif()
endfunction()

# The end-to-end cases answer real message boxes, and the session's desktop
# is made on the display it starts with.
if(DISPLAY_NEEDED AND "$ENV{DISPLAY}" STREQUAL "")
    message(FATAL_ERROR "No display: run the tests under xvfb-run -a")
endif()

# A prefix made before wine32 was installed has no 32-bit side, and 32-bit
# programs fail in it. LOADER is plain `wine` only where they run.
if(LOADER MATCHES "(^|/)wine$" AND EXISTS "${prefix}/system.reg"
   AND NOT EXISTS "${prefix}/drive_c/windows/syswow64/kernel32.dll")
    if(ACTION STREQUAL "check")
        message(FATAL_ERROR "${prefix} has no 32-bit side")
    endif()
    # Only the throwaway prefix is started here: it is made anew. It holds
    # no mounts, so this never crosses into another file system.
    message(STATUS "${prefix} has no 32-bit side; making it anew")
    execute_process(COMMAND wineserver --kill OUTPUT_QUIET ERROR_QUIET)
    wine_run("to delete the prefix" rm -rf --one-file-system -- "${prefix}")
endif()
if(ACTION STREQUAL "check")
    return()
endif()
if(NOT EXISTS "${prefix}/system.reg")
    # Both sides where 32-bit programs run, whichever tree comes first; made
    # without the display, which a slow machine (an emulated guest) otherwise
    # fails to finish it on.
    message(STATUS "Creating Wine prefix ${prefix} (a minute or two)")
    file(MAKE_DIRECTORY "${prefix}")
    execute_process(COMMAND wine --version RESULT_VARIABLE no_32bit OUTPUT_QUIET ERROR_QUIET)
    set(maker ${LOADER})
    if(NOT no_32bit)
        set(maker wine)
    endif()
    wine_run("to make the prefix" ${CMAKE_COMMAND} -E env --unset=DISPLAY ${maker} wineboot --init)
endif()
# One session for all the programs that follow, so that each finds Wine's
# services running instead of starting them itself.
wine_run("to finish its earlier work" wineserver --wait)
wine_run("to start a persistent wineserver" wineserver --persistent)
wine_run("to start its services" ${LOADER} wineboot)
# A run cut short can leave Orrelin's settings key, and the tests refuse to
# start beside one they did not make. The key in this throwaway prefix is
# theirs; reg fails, harmlessly, where there is none.
execute_process(COMMAND ${LOADER} reg delete "HKCU\\Software\\VB and VBA Program Settings\\Orrelin" /f
                INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
