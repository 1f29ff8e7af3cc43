# The Windows build under wine, labelled wine: the program tests run against
# each .exe named by VORNA_WINE_UNPACK (and VORNA_WINE_PACK), through runners
# in build/wine/ that call tests/wine-run, and the PNGs each build writes are
# compared byte for byte. All of it runs in one wine prefix in the build tree,
# with a persistent server (tests/wine-server).
set(VORNA_WINE_UNPACK "" CACHE FILEPATH "vorna-unpack.exe to test under wine; empty: no wine tests")
set(VORNA_WINE_PACK "" CACHE FILEPATH "vorna-pack.exe to test under wine; empty: not tested")
if(NOT VORNA_WINE_UNPACK)
  return()
endif()
find_program(WINE wine REQUIRED)
set(wine_prefix ${PROJECT_BINARY_DIR}/wine-prefix)
set(wine_runners ${PROJECT_BINARY_DIR}/wine)

# A runner per program, named as the Linux build's program is: the tests find
# it through the environment variable VORNA_WINE (testsupport::programUnderTest).
foreach(program unpack pack)
  string(TOUPPER ${program} upper)
  if(VORNA_WINE_${upper})
    file(GENERATE OUTPUT ${wine_runners}/vorna-${program}
      CONTENT "#!/bin/sh\nexec '${PROJECT_SOURCE_DIR}/tests/wine-run' '${wine_prefix}' '${VORNA_WINE_${upper}}' \"$@\"\n"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

add_test(NAME wine.start COMMAND ${PROJECT_SOURCE_DIR}/tests/wine-server start ${wine_prefix})
add_test(NAME wine.stop COMMAND ${PROJECT_SOURCE_DIR}/tests/wine-server stop ${wine_prefix})
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine LABELS wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine LABELS wine)

gtest_discover_tests(program_tests TEST_PREFIX wine. TEST_LIST wine_program_tests
  PROPERTIES LABELS wine FIXTURES_REQUIRED wine ENVIRONMENT VORNA_WINE=${wine_runners})

set(same_packs)
if(TARGET vorna-pack AND VORNA_WINE_PACK)
  set(same_packs $<TARGET_FILE:vorna-pack> ${wine_runners}/vorna-pack)
endif()
add_test(NAME wine.same_pngs
  COMMAND ${PROJECT_SOURCE_DIR}/tests/same-pngs-on-windows $<TARGET_FILE:vorna-unpack>
          ${wine_runners}/vorna-unpack $<TARGET_FILE:make-demo-archive> $<TARGET_FILE:make-fuzz-seeds>
          ${same_packs})
set_tests_properties(wine.same_pngs PROPERTIES LABELS wine FIXTURES_REQUIRED wine)
