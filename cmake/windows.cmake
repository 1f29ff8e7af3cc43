# The Windows build's libraries and link: libgd, libpng and zlib linked in
# statically, with the C and C++ runtimes, so that each .exe needs nothing but
# Windows' own DLLs.

# gdlib.pc lists libpng and zlib as private, so only the static flags name them.
pkg_check_modules(GD REQUIRED gdlib)
add_library(PkgConfig::GD INTERFACE IMPORTED)
set_target_properties(PkgConfig::GD PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${GD_STATIC_INCLUDE_DIRS}"
  INTERFACE_LINK_LIBRARIES "${GD_STATIC_LDFLAGS}"
  # Without both, gd.h declares every function dllimport.
  INTERFACE_COMPILE_DEFINITIONS "BGDWIN32;NONDLL")

# No timestamp in the PE header: two builds give the same bytes. Release
# builds are stripped.
add_link_options(-static -Wl,--no-insert-timestamp $<$<CONFIG:Release>:-s>)

# -fstack-protector-strong's runtime, which MinGW keeps in libssp.
link_libraries(ssp)
