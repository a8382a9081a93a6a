# Prepares the Wine prefix $WINEPREFIX and starts or stops a Wine session in
# it, in the environment the caller gives (cmake/wine.env):
#   cmake -D ACTION=prepare|start|stop|check -D LOADER=wine|/usr/lib/wine/wine64
#         [-D DISPLAY_NEEDED=ON] -P WineSession.cmake
# check fails for a prefix that lacks its 32-bit side and changes nothing.
# ctest runs start and stop as a fixture around a Windows tree's tests.
set(prefix "$ENV{WINEPREFIX}")
if(prefix STREQUAL "")
    message(FATAL_ERROR "WINEPREFIX is not set")
endif()

# Output goes to /dev/null, not to a pipe: Wine's services outlive the
# command, and would hold a pipe open until they time out.
function(wine_run)
    execute_process(COMMAND ${ARGN} INPUT_FILE /dev/null OUTPUT_FILE /dev/null
                    ERROR_FILE /dev/null RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed: ${status}")
    endif()
endfunction()

if(ACTION STREQUAL "stop")
    execute_process(COMMAND wineserver --kill INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
    return()
endif()

# The end-to-end cases answer real message boxes, and the session's desktop
# is made on the display it starts with.
if(DISPLAY_NEEDED AND "$ENV{DISPLAY}" STREQUAL "")
    message(FATAL_ERROR "No display: run the tests under xvfb-run -a")
endif()

# A prefix made before wine32 was installed has no 32-bit side, and 32-bit
# programs fail in it ("could not load kernel32.dll"). LOADER is plain `wine`
# only where 32-bit programs run.
if(LOADER MATCHES "(^|/)wine$" AND EXISTS "${prefix}/system.reg"
   AND NOT EXISTS "${prefix}/drive_c/windows/syswow64/kernel32.dll")
    if(ACTION STREQUAL "check")
        message(FATAL_ERROR "${prefix} has no 32-bit side")
    endif()
    # A throwaway prefix is made anew. It holds no mounts, so this never
    # crosses into another file system.
    message(STATUS "${prefix} has no 32-bit side; making it anew")
    execute_process(COMMAND wineserver --kill OUTPUT_QUIET ERROR_QUIET)
    wine_run(rm -rf --one-file-system -- "${prefix}")
endif()
if(ACTION STREQUAL "check")
    return()
endif()
if(NOT EXISTS "${prefix}/system.reg")
    message(STATUS "Creating Wine prefix ${prefix}")
    file(MAKE_DIRECTORY "${prefix}")
    # Made without the display, as a slow machine (such as an emulated
    # guest) otherwise fails to finish it.
    wine_run(${CMAKE_COMMAND} -E env --unset=DISPLAY ${LOADER} wineboot --init)
endif()
wine_run(wineserver --wait)

if(ACTION STREQUAL "start")
    # One session for all the programs that follow, so that each finds
    # Wine's services running instead of starting them itself.
    wine_run(wineserver --persistent)
    wine_run(${LOADER} wineboot)
endif()
