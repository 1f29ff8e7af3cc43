# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (win32 threads),
# g++-mingw-w64-x86-64-win32.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVORNA_WINDOWS_PREFIX=DIR ...
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VORNA_WINDOWS_HOST x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
