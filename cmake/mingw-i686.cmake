# Cross build for 32-bit Windows: what ships.
set(QUILLO_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Lets ctest run the Windows test programs directly.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
