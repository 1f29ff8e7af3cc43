# The web page's libraries: zlib, libpng and libgd built for WebAssembly from
# Debian's source packages by scripts/build-web into VORNA_WEB_PREFIX, and
# linked in statically, so that the page decodes and encodes PNGs with the
# very code the programs use.
set(VORNA_WEB_PREFIX "" CACHE PATH "Prefix holding the static libraries built for WebAssembly")
if(NOT VORNA_WEB_PREFIX)
  message(FATAL_ERROR "VORNA_WEB_PREFIX must name the libraries built for WebAssembly (scripts/build-web)")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${VORNA_WEB_PREFIX})
set(ENV{PKG_CONFIG_LIBDIR} ${VORNA_WEB_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
# gdlib.pc lists libpng and zlib as private, so only the static flags name them.
pkg_check_modules(GD REQUIRED gdlib)
add_library(PkgConfig::GD INTERFACE IMPORTED)
set_target_properties(PkgConfig::GD PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${GD_STATIC_INCLUDE_DIRS}"
  INTERFACE_LINK_LIBRARIES "${GD_STATIC_LDFLAGS}")
