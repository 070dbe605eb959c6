# Pictures are drawn by res/make_art.py at build time; the .rc file names them.
# Debian's interpreter has Pillow (python3-pil); the name is set in Gelasio,
# the bold serif that scripts/bootstrap fetches for the test prefix.
find_program(PYTHON3_PROGRAM NAMES python3 REQUIRED)
set(ART_PYTHON /usr/bin/python3)
set(ART_FONT /var/cache/korvanth/fonts/gelasio-latin-700-normal.woff)
set(ART_DIR ${CMAKE_BINARY_DIR}/art)
set(ART_FILES ${ART_DIR}/background.bmp ${ART_DIR}/button.bmp
              ${ART_DIR}/button_strip.bmp ${ART_DIR}/korvanth.ico)
foreach(percent 125 150 175 200)
  list(APPEND ART_FILES ${ART_DIR}/art-${percent}.gz ${ART_DIR}/background-${percent}.bmp
       ${ART_DIR}/button-${percent}.bmp ${ART_DIR}/button_strip-${percent}.bmp)
endforeach()
# The display scales whose pictures Korvanth.exe carries as drawn (RCDATA
# 1000 + percent, ui/art_pack.h); any other scale above 100% is made from
# the next larger one carried. scripts/bench-art weighs the choices.
set(KORVANTH_ART_SCALES "200" CACHE STRING
    "Display scales (percent, of 125 150 175 200) whose pictures the launcher carries")
add_custom_command(
  OUTPUT ${ART_FILES}
  COMMAND ${ART_PYTHON} ${CMAKE_SOURCE_DIR}/res/make_art.py ${ART_DIR} ${ART_FONT}
  DEPENDS ${CMAKE_SOURCE_DIR}/res/make_art.py ${CMAKE_SOURCE_DIR}/res/art_tools.py ${ART_FONT}
  COMMENT "Drawing the launcher's pictures")
add_custom_target(korvanth_art DEPENDS ${ART_FILES})

# The version resource and the application manifest carry the project's version.
configure_file(${CMAKE_SOURCE_DIR}/res/korvanth.manifest.in ${CMAKE_BINARY_DIR}/korvanth.manifest
               @ONLY)
set(KORVANTH_RC_DEPENDS ${ART_FILES} ${CMAKE_BINARY_DIR}/korvanth.manifest)
# Writes the resource script PATH carrying the pictures of the scales given.
function(korvanth_resource_script path)
  set(ART_PACKS "")
  foreach(percent ${ARGN})
    math(EXPR id "1000 + ${percent}")
    string(APPEND ART_PACKS "${id} RCDATA \"${ART_DIR}/art-${percent}.gz\"\n")
  endforeach()
  configure_file(${CMAKE_SOURCE_DIR}/res/korvanth.rc.in ${path} @ONLY)
  set_source_files_properties(${path} PROPERTIES OBJECT_DEPENDS "${KORVANTH_RC_DEPENDS}")
endfunction()
set(KORVANTH_RC ${CMAKE_BINARY_DIR}/korvanth.rc)
korvanth_resource_script(${KORVANTH_RC} ${KORVANTH_ART_SCALES})
