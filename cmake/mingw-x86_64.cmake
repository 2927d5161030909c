# Cross build: 64-bit x86-64 Windows console programs, run under 64-bit Wine
# by CTest.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
