# Cross build for 64-bit Windows, for the tests only: on machines whose kernel
# cannot run 32-bit code, the same sources are built for x86_64 and run under
# the 64-bit Wine. What ships is always the 32-bit build (mingw-i686.cmake).
set(QUILLO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The 64-bit loader by its full path: Debian's "wine" wrapper picks the
# 32-bit loader whenever wine32 is installed, even where it cannot run.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
