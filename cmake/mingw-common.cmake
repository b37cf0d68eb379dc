# What both Windows cross builds share; the toolchain files name the target
# (QUILLO_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR) and the Wine loader that runs
# its programs, then include this. Both use the win32-thread-model compiler:
# the posix model drags in winpthreads, which imports GetTickCount64 and so
# cannot start on XP.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QUILLO_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${QUILLO_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${QUILLO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
