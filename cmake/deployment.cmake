# Deployment settings of one launcher build. A publisher configures them on the
# command line (scripts/build -DKORVANTH_DOWNLOAD_URL=...); they end up in the
# generated header korvanth_config.h.
set(KORVANTH_DOWNLOAD_URL "https://dl.korvanth.test/" CACHE STRING
    "First built-in mirror: the download host's root, ending in /")
set(KORVANTH_WEB_URL "https://www.korvanth.test/" CACHE STRING
    "The web site, ending in /; its files/ folder is the second built-in mirror")
set(KORVANTH_DEMO_PUBKEY ${CMAKE_SOURCE_DIR}/keys/demo.pub.pem)
set(KORVANTH_MANIFEST_PUBKEY ${KORVANTH_DEMO_PUBKEY} CACHE FILEPATH
    "PEM file with the publisher's P-256 public key that signs manifests")

foreach(var KORVANTH_DOWNLOAD_URL KORVANTH_WEB_URL)
  if(NOT ${var} MATCHES "^https?://[^/\"\\\\]+/[^\"\\\\]*$" OR NOT ${var} MATCHES "/$")
    message(FATAL_ERROR "${var} must be an http(s) address ending in / (is '${${var}}')")
  endif()
endforeach()
string(REGEX REPLACE "^https?://([^/:]+).*$" "\\1" KORVANTH_WEB_HOST "${KORVANTH_WEB_URL}")

# The launcher embeds the key as the raw X||Y coordinates: the last 64 bytes of
# the DER SubjectPublicKeyInfo of a P-256 key (after the 0x04 point marker).
get_filename_component(pubkey_path "${KORVANTH_MANIFEST_PUBKEY}" ABSOLUTE)
find_program(OPENSSL_PROGRAM openssl REQUIRED)
set(KORVANTH_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${KORVANTH_GENERATED_DIR})
set(pubkey_der ${KORVANTH_GENERATED_DIR}/manifest_pubkey.der)
execute_process(
  COMMAND ${OPENSSL_PROGRAM} pkey -pubin -in ${pubkey_path} -outform DER -out ${pubkey_der}
  RESULT_VARIABLE openssl_result ERROR_VARIABLE openssl_error)
if(NOT openssl_result EQUAL 0)
  message(FATAL_ERROR "KORVANTH_MANIFEST_PUBKEY: cannot read ${pubkey_path}: ${openssl_error}")
endif()
file(READ ${pubkey_der} der_hex HEX)
string(LENGTH "${der_hex}" der_hex_len)
# id-ecPublicKey + prime256v1, then BIT STRING 00 04 X Y
if(NOT der_hex_len EQUAL 182 OR NOT der_hex MATCHES "^3059301306072a8648ce3d020106082a8648ce3d030107034200")
  message(FATAL_ERROR "KORVANTH_MANIFEST_PUBKEY: ${pubkey_path} is not a P-256 public key")
endif()
string(SUBSTRING "${der_hex}" 54 128 point_hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," KORVANTH_PUBKEY_BYTES "${point_hex}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pubkey_path})

if(pubkey_path STREQUAL KORVANTH_DEMO_PUBKEY)
  message(WARNING "Korvanth is configured with the demo signing key (keys/demo.pub.pem). "
                  "Its private half is public: a launcher built this way must not ship. "
                  "Set KORVANTH_MANIFEST_PUBKEY to the publisher's public key.")
endif()

configure_file(${CMAKE_SOURCE_DIR}/cmake/korvanth_config.h.in
               ${KORVANTH_GENERATED_DIR}/korvanth_config.h @ONLY)
