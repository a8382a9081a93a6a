# Cross-build for Windows with Debian's MinGW-w64 (posix thread variant):
# 64-bit, or 32-bit (the build users get) where ORRELIN_ARCH is x86.
set(CMAKE_SYSTEM_NAME Windows)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORRELIN_ARCH)
if(ORRELIN_ARCH STREQUAL "x86")
    set(CMAKE_SYSTEM_PROCESSOR x86)
    set(MINGW_PREFIX i686-w64-mingw32)
    # Tests need wine32 and a kernel that runs 32-bit programs.
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
else()
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
    set(MINGW_PREFIX x86_64-w64-mingw32)
    # Debian's `wine` starts the 32-bit loader whenever wine32 is installed,
    # and a kernel without 32-bit support cannot start that at all.
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
# Libraries and headers from MinGW-w64's own tree.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
