# 32-bit Windows, the product's own target: MinGW-w64 i686.
#
# CV_MINGW_THREADS picks the compilers' thread model:
#   win32 (default) - the product. Its static runtime imports nothing that
#                     Windows 95 and NT 4.0 lack.
#   posix           - the test programs. GoogleTest needs std::mutex, which
#                     only the posix-thread runtime (winpthread) gives, and
#                     that runtime imports GetTickCount64 (Vista),
#                     Add/RemoveVectoredExceptionHandler (XP) and
#                     TryEnterCriticalSection (not on 95/98/Me).
if(NOT CV_MINGW_THREADS)
  set(CV_MINGW_THREADS win32)
endif()
set(CV_MINGW_THREADS "${CV_MINGW_THREADS}" CACHE STRING "MinGW-w64 thread model: win32 (product) or posix (tests)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CV_MINGW_THREADS)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${CV_MINGW_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${CV_MINGW_THREADS})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
