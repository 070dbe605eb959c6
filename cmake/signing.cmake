# Optional Authenticode signing of the launcher after linking. A release
# build names the publisher's PKCS#12 file:
#   KORVANTH_SIGN_PASSWORD=... scripts/build -DKORVANTH_SIGN_PFX=/path/publisher.pfx
# The password is read from the environment when the build signs, so it never
# lands in the CMake cache. Without KORVANTH_SIGN_PFX nothing is signed.
set(KORVANTH_SIGN_PFX "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate and key; empty: no signing")
set(KORVANTH_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/../scripts/sign-exe)

# korvanth_sign_after_build(TARGET): signs TARGET's file after each link when
# KORVANTH_SIGN_PFX is set.
function(korvanth_sign_after_build target)
  if(NOT KORVANTH_SIGN_PFX)
    return()
  endif()
  get_filename_component(pfx "${KORVANTH_SIGN_PFX}" ABSOLUTE)
  if(NOT EXISTS "${pfx}")
    message(FATAL_ERROR "KORVANTH_SIGN_PFX: ${pfx} does not exist")
  endif()
  find_program(KORVANTH_OSSLSIGNCODE osslsigncode REQUIRED)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh ${KORVANTH_SIGN_SCRIPT} $<TARGET_FILE:${target}> ${pfx}
    COMMENT "Signing $<TARGET_FILE_NAME:${target}> with ${pfx}"
    VERBATIM)
endfunction()
