# The Windows zip, vorna-unpack-<version>-win64.zip, or -win32.zip for a
# 32-bit target (cpack -G ZIP): the programs, the web page, README, LICENSE
# and each program's manual as plain text, all in one folder. Text files get
# Windows' CR LF line ends.
set(zip_files ${PROJECT_SOURCE_DIR}/README.md)
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  list(APPEND zip_files ${PROJECT_SOURCE_DIR}/LICENSE)
endif()
find_program(GROFF groff REQUIRED)
set(crlf ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake)
set(zip_texts)
foreach(program vorna-unpack vorna-pack)
  if(NOT TARGET ${program})
    continue()
  endif()
  install(TARGETS ${program} RUNTIME DESTINATION .)
  # The manual as a terminal shows it, without bold or underlining.
  add_custom_command(OUTPUT zip/${program}.txt
    COMMAND ${GROFF} -man -rHY=0 -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/doc/${program}.1 > ${program}.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${program}.txt -DOUT=zip/${program}.txt -P ${crlf}
    DEPENDS doc/${program}.1 ${crlf})
  list(APPEND zip_texts ${PROJECT_BINARY_DIR}/zip/${program}.txt)
endforeach()
foreach(file IN LISTS zip_files)
  get_filename_component(name ${file} NAME)
  add_custom_command(OUTPUT zip/${name}
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=zip/${name} -P ${crlf}
    DEPENDS ${file} ${crlf})
  list(APPEND zip_texts ${PROJECT_BINARY_DIR}/zip/${name})
endforeach()
# The web page, as it is (its scripts' hashes are over its own bytes), from
# scripts/build-web, which scripts/build-windows runs first.
set(VORNA_WEB_PAGE ${PROJECT_SOURCE_DIR}/build-web/vorna.html
    CACHE FILEPATH "vorna.html for the zip; empty for a zip without it")
if(VORNA_WEB_PAGE)
  if(NOT EXISTS ${VORNA_WEB_PAGE})
    message(FATAL_ERROR "${VORNA_WEB_PAGE} is missing: build it with scripts/build-web, "
                        "or set VORNA_WEB_PAGE empty for a zip without the web page")
  endif()
  install(FILES ${VORNA_WEB_PAGE} DESTINATION .)
endif()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/zip)
add_custom_target(zip-texts ALL DEPENDS ${zip_texts})
install(FILES ${zip_texts} DESTINATION .)

set(CPACK_PACKAGE_NAME vorna-unpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(zip_target win64)
else()
  set(zip_target win32)
endif()
set(CPACK_PACKAGE_FILE_NAME vorna-unpack-${PROJECT_VERSION}-${zip_target})
set(CPACK_GENERATOR ZIP)
include(CPack)
