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

# The launcher embeds a key as the raw X||Y coordinates: the last 64 bytes of
# the DER SubjectPublicKeyInfo of a P-256 key (after the 0x04 point marker).
find_program(OPENSSL_PROGRAM openssl REQUIRED)
set(KORVANTH_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${KORVANTH_GENERATED_DIR})

# korvanth_point_bytes(SETTING PEM OUT): OUT receives "0x..,0x..," (64 bytes)
# of the P-256 public key in the file PEM; SETTING names the cache variable
# in messages.
function(korvanth_point_bytes setting pem out)
  get_filename_component(path "${pem}" ABSOLUTE)
  string(MAKE_C_IDENTIFIER "${setting}_${path}" der_name)
  set(der ${KORVANTH_GENERATED_DIR}/${der_name}.der)
  execute_process(
    COMMAND ${OPENSSL_PROGRAM} pkey -pubin -in ${path} -outform DER -out ${der}
    RESULT_VARIABLE openssl_result ERROR_VARIABLE openssl_error)
  if(NOT openssl_result EQUAL 0)
    message(FATAL_ERROR "${setting}: cannot read ${path}: ${openssl_error}")
  endif()
  file(READ ${der} der_hex HEX)
  file(REMOVE ${der})
  string(LENGTH "${der_hex}" der_hex_len)
  # id-ecPublicKey + prime256v1, then BIT STRING 00 04 X Y
  if(NOT der_hex_len EQUAL 182 OR NOT der_hex MATCHES "^3059301306072a8648ce3d020106082a8648ce3d030107034200")
    message(FATAL_ERROR "${setting}: ${path} is not a P-256 public key")
  endif()
  string(SUBSTRING "${der_hex}" 54 128 point_hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${point_hex}")
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
  set(${out} "${bytes}" PARENT_SCOPE)
  set(${out}_HEX "${point_hex}" PARENT_SCOPE)
endfunction()

get_filename_component(pubkey_path "${KORVANTH_MANIFEST_PUBKEY}" ABSOLUTE)
korvanth_point_bytes(KORVANTH_MANIFEST_PUBKEY "${pubkey_path}" KORVANTH_PUBKEY_BYTES)

# Root keys: with them the launcher takes its release keys from the signed
# key list on the mirrors and no longer trusts KORVANTH_MANIFEST_PUBKEY.
set(KORVANTH_ROOT_PUBKEYS "" CACHE STRING
    "PEM files (a ;-list of one or two) with the P-256 root keys that sign the key list; empty: one fixed manifest key")
list(LENGTH KORVANTH_ROOT_PUBKEYS KORVANTH_ROOT_PUBKEY_COUNT)
if(KORVANTH_ROOT_PUBKEY_COUNT GREATER 2)
  message(FATAL_ERROR "KORVANTH_ROOT_PUBKEYS: one or two keys (is ${KORVANTH_ROOT_PUBKEY_COUNT})")
endif()
set(KORVANTH_ROOT_PUBKEYS_BYTES "")
set(root_hexes "")
foreach(root IN LISTS KORVANTH_ROOT_PUBKEYS)
  korvanth_point_bytes(KORVANTH_ROOT_PUBKEYS "${root}" root_bytes)
  if(root_bytes_HEX IN_LIST root_hexes)
    message(FATAL_ERROR "KORVANTH_ROOT_PUBKEYS: ${root} is given twice")
  endif()
  list(APPEND root_hexes ${root_bytes_HEX})
  string(APPEND KORVANTH_ROOT_PUBKEYS_BYTES "{ ${root_bytes} }, ")
endforeach()
if(KORVANTH_ROOT_PUBKEY_COUNT EQUAL 0)
  # An array needs one element; the count says it is not a key.
  set(KORVANTH_ROOT_PUBKEYS_BYTES "{ 0 }")
endif()

if(pubkey_path STREQUAL KORVANTH_DEMO_PUBKEY AND KORVANTH_ROOT_PUBKEY_COUNT EQUAL 0)
  message(WARNING "Korvanth is configured with the demo signing key (keys/demo.pub.pem). "
                  "Its private half is public: a launcher built this way must not ship. "
                  "Set KORVANTH_MANIFEST_PUBKEY to the publisher's public key.")
endif()

configure_file(${CMAKE_SOURCE_DIR}/cmake/korvanth_config.h.in
               ${KORVANTH_GENERATED_DIR}/korvanth_config.h @ONLY)
