# Cross build for 64-bit Windows, for the tests only: on machines whose kernel
# cannot run 32-bit code, the same sources are built for x86_64 and run under
# the 64-bit Wine. What ships is always the 32-bit build (mingw-i686.cmake).
# The win32 thread model, as in the shipped build, so both link the same
# runtime pieces.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The 64-bit loader by its full path: Debian's "wine" wrapper picks the
# 32-bit loader whenever wine32 is installed, even where it cannot run.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
