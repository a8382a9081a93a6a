# Cross-build for 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Tests run through Wine's 64-bit loader on this machine. Debian's `wine`
# starts the 32-bit loader first whenever wine32 is installed, and a kernel
# without 32-bit support cannot start that at all.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
