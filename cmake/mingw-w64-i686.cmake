# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 (win32 threads),
# g++-mingw-w64-i686-win32.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DVORNA_WINDOWS_PREFIX=DIR ...
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VORNA_WINDOWS_HOST i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
