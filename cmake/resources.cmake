# Pictures are drawn by res/make_art.py at build time; the .rc file names them.
# Debian's interpreter has Pillow (python3-pil); the name is set in Gelasio,
# the bold serif that scripts/bootstrap fetches for the test prefix.
find_program(PYTHON3_PROGRAM NAMES python3 REQUIRED)
set(ART_PYTHON /usr/bin/python3)
set(ART_FONT /var/cache/korvanth/fonts/gelasio-latin-700-normal.woff)
set(ART_DIR ${CMAKE_BINARY_DIR}/art)
set(ART_FILES ${ART_DIR}/background.bmp ${ART_DIR}/button.bmp
              ${ART_DIR}/button_strip.bmp ${ART_DIR}/korvanth.ico)
add_custom_command(
  OUTPUT ${ART_FILES}
  COMMAND ${ART_PYTHON} ${CMAKE_SOURCE_DIR}/res/make_art.py ${ART_DIR} ${ART_FONT}
  DEPENDS ${CMAKE_SOURCE_DIR}/res/make_art.py ${CMAKE_SOURCE_DIR}/res/art_tools.py ${ART_FONT}
  COMMENT "Drawing the launcher's pictures")
add_custom_target(korvanth_art DEPENDS ${ART_FILES})

# The version resource and the application manifest carry the project's version.
configure_file(${CMAKE_SOURCE_DIR}/res/korvanth.manifest.in ${CMAKE_BINARY_DIR}/korvanth.manifest
               @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/res/korvanth.rc.in ${CMAKE_BINARY_DIR}/korvanth.rc @ONLY)
set(KORVANTH_RC ${CMAKE_BINARY_DIR}/korvanth.rc)
set(KORVANTH_RC_DEPENDS ${ART_FILES} ${CMAKE_BINARY_DIR}/korvanth.manifest)
set_source_files_properties(${KORVANTH_RC} PROPERTIES OBJECT_DEPENDS "${KORVANTH_RC_DEPENDS}")
