# 64-bit Windows: the same program for hosts whose Wine cannot run 32-bit
# code (a kernel without 32-bit emulation). MinGW-w64 x86_64.
# CV_MINGW_THREADS: win32 (default, as the product is built) or posix (the
# test programs, for GoogleTest); see mingw-i686.cmake.
if(NOT CV_MINGW_THREADS)
  set(CV_MINGW_THREADS win32)
endif()
set(CV_MINGW_THREADS "${CV_MINGW_THREADS}" CACHE STRING "MinGW-w64 thread model: win32 (product) or posix (tests)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CV_MINGW_THREADS)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-${CV_MINGW_THREADS})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-${CV_MINGW_THREADS})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
