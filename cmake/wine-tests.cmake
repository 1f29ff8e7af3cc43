# The Windows builds under wine: the program tests run against each .exe
# named by VORNA_WINE_UNPACK and VORNA_WINE_PACK (64-bit, labelled wine) and
# by VORNA_WINE32_UNPACK and VORNA_WINE32_PACK (32-bit, labelled wine32),
# through runners in build/wine/ and build/wine32/ that call tests/wine-run,
# and the PNGs and packed archives each build writes are compared byte for
# byte with the Linux build's. Each width runs in a wine prefix of its own in
# the build tree, with a persistent server (tests/wine-server), which first
# proves that the programs really run there. The 32-bit wine is the one in
# the root that scripts/wine32-root makes.
set(VORNA_WINE_UNPACK "" CACHE FILEPATH "64-bit vorna-unpack.exe to test under wine; empty: no 64-bit wine tests")
set(VORNA_WINE_PACK "" CACHE FILEPATH "64-bit vorna-pack.exe to test under wine; empty: not tested")
set(VORNA_WINE32_UNPACK "" CACHE FILEPATH "32-bit vorna-unpack.exe to test under wine; empty: no 32-bit wine tests")
set(VORNA_WINE32_PACK "" CACHE FILEPATH "32-bit vorna-pack.exe to test under wine; empty: not tested")

# vorna_wine_tests(NAME BITS UNPACK PACK): the tests NAME.*, labelled NAME,
# of the programs UNPACK and PACK (PACK may be empty) under BITS-bit wine.
function(vorna_wine_tests name bits unpack pack)
  if(bits EQUAL 64)
    find_program(WINE64 NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
  endif()
  set(prefix ${PROJECT_BINARY_DIR}/${name}-prefix)
  set(runners ${PROJECT_BINARY_DIR}/${name})
  # A runner per program, named as the Linux build's program is: the tests
  # find it through the environment variable VORNA_WINE
  # (testsupport::programUnderTest).
  foreach(program unpack pack)
    if(${program})
      file(GENERATE OUTPUT ${runners}/vorna-${program}
        CONTENT "#!/bin/sh\nexec '${PROJECT_SOURCE_DIR}/tests/wine-run' ${bits} '${prefix}' '${${program}}' \"$@\"\n"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  add_test(NAME ${name}.start COMMAND ${PROJECT_SOURCE_DIR}/tests/wine-server start ${bits} ${prefix}
                                      ${runners}/vorna-unpack $<TARGET_FILE:vorna-unpack>)
  add_test(NAME ${name}.stop COMMAND ${PROJECT_SOURCE_DIR}/tests/wine-server stop ${bits} ${prefix})
  set_tests_properties(${name}.start PROPERTIES FIXTURES_SETUP ${name} LABELS ${name})
  set_tests_properties(${name}.stop PROPERTIES FIXTURES_CLEANUP ${name} LABELS ${name})

  gtest_discover_tests(program_tests TEST_PREFIX ${name}. TEST_LIST ${name}_program_tests
    PROPERTIES LABELS ${name} FIXTURES_REQUIRED ${name} ENVIRONMENT VORNA_WINE=${runners})
endfunction()

if(VORNA_WINE_UNPACK)
  vorna_wine_tests(wine 64 "${VORNA_WINE_UNPACK}" "${VORNA_WINE_PACK}")
endif()
if(VORNA_WINE32_UNPACK)
  vorna_wine_tests(wine32 32 "${VORNA_WINE32_UNPACK}" "${VORNA_WINE32_PACK}")
endif()

# Every build's PNGs and packed archives against the Linux build's: the
# 64-bit build's as wine.same_pngs, then the 32-bit build's, with the 64-bit
# build's too when it is tested, as wine32.same_pngs.
set(same_pngs ${PROJECT_SOURCE_DIR}/tests/same-pngs-on-windows $<TARGET_FILE:make-demo-archive>
              $<TARGET_FILE:make-fuzz-seeds> $<TARGET_FILE_DIR:vorna-unpack>)
if(VORNA_WINE_UNPACK)
  add_test(NAME wine.same_pngs COMMAND ${same_pngs} ${PROJECT_BINARY_DIR}/wine)
  set_tests_properties(wine.same_pngs PROPERTIES LABELS wine FIXTURES_REQUIRED wine)
endif()
if(VORNA_WINE32_UNPACK)
  set(fixtures wine32)
  set(builds ${PROJECT_BINARY_DIR}/wine32)
  if(VORNA_WINE_UNPACK)
    list(APPEND fixtures wine)
    list(APPEND builds ${PROJECT_BINARY_DIR}/wine)
  endif()
  add_test(NAME wine32.same_pngs COMMAND ${same_pngs} ${builds})
  set_tests_properties(wine32.same_pngs PROPERTIES LABELS wine32 FIXTURES_REQUIRED "${fixtures}")
endif()
