# What the MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and VORNA_WINDOWS_HOST, the compilers' triplet, first.
# VORNA_WINDOWS_PREFIX is where the static zlib, libpng and libgd built for
# Windows live (scripts/build-windows makes one per target); pkg-config then
# looks there alone, so that nothing of the Linux libraries leaks into the
# build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VORNA_WINDOWS_HOST}-gcc)
set(CMAKE_CXX_COMPILER ${VORNA_WINDOWS_HOST}-g++)
set(CMAKE_RC_COMPILER ${VORNA_WINDOWS_HOST}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORNA_WINDOWS_HOST})
set(VORNA_WINDOWS_PREFIX "" CACHE PATH "Prefix holding the static libraries built for Windows")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORNA_WINDOWS_PREFIX)
if(VORNA_WINDOWS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VORNA_WINDOWS_PREFIX})
  set(ENV{PKG_CONFIG_LIBDIR} ${VORNA_WINDOWS_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
