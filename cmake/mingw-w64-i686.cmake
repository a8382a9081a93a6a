# Cross-build for 32-bit Windows: the build users get.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Tests run through Wine on this machine; 32-bit programs need wine32 and a
# kernel that runs 32-bit programs.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
