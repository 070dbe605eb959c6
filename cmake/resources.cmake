# Pictures are drawn by res/make_art.py at build time; the .rc file names them.
find_program(PYTHON3_PROGRAM NAMES python3 REQUIRED)
set(ART_DIR ${CMAKE_BINARY_DIR}/art)
set(ART_FILES ${ART_DIR}/background.bmp ${ART_DIR}/button.bmp
              ${ART_DIR}/button_strip.bmp ${ART_DIR}/korvanth.ico)
add_custom_command(
  OUTPUT ${ART_FILES}
  COMMAND ${PYTHON3_PROGRAM} ${CMAKE_SOURCE_DIR}/res/make_art.py ${ART_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/res/make_art.py
  COMMENT "Drawing the launcher's pictures")
add_custom_target(korvanth_art DEPENDS ${ART_FILES})

configure_file(${CMAKE_SOURCE_DIR}/res/korvanth.rc.in ${CMAKE_BINARY_DIR}/korvanth.rc @ONLY)
set(KORVANTH_RC ${CMAKE_BINARY_DIR}/korvanth.rc)
set_source_files_properties(${KORVANTH_RC} PROPERTIES
  OBJECT_DEPENDS "${ART_FILES};${CMAKE_SOURCE_DIR}/res/korvanth.manifest")
