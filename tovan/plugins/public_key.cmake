# Turns the plugin signer's PEM key into the C source of the program's public
# key blob: public_raw holds the modulus and the exponent, each as a 16-bit
# big-endian byte count and the big-endian number, 519 bytes for a 4096-bit
# key with exponent 65537 (the only kind the program accepts).
#
#   cmake -DOPENSSL=<openssl> -DKEY=<pem> -DOUT=<file.c> -P public_key.cmake
foreach(v OPENSSL KEY OUT)
  if(NOT ${v})
    message(FATAL_ERROR "public_key.cmake: ${v} not given")
  endif()
endforeach()

execute_process(COMMAND ${OPENSSL} rsa -in ${KEY} -noout -text
                OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "TOVAN_PLUGIN_KEY: ${KEY} is not a readable RSA private key: ${err}")
endif()
string(REGEX MATCH "Private-Key: \\(([0-9]+) bit" _ "${text}")
set(bits "${CMAKE_MATCH_1}")
string(REGEX MATCH "publicExponent: ([0-9]+)" _ "${text}")
set(exponent "${CMAKE_MATCH_1}")
if(NOT bits STREQUAL "4096" OR NOT exponent STREQUAL "65537")
  message(FATAL_ERROR "TOVAN_PLUGIN_KEY: ${KEY} is a ${bits}-bit RSA key with exponent ${exponent}; "
                      "plugin packages need a 4096-bit key with exponent 65537")
endif()

execute_process(COMMAND ${OPENSSL} rsa -in ${KEY} -noout -modulus
                OUTPUT_VARIABLE modulus ERROR_VARIABLE err RESULT_VARIABLE rc)
string(STRIP "${modulus}" modulus)
string(REGEX REPLACE "^Modulus=" "" modulus "${modulus}")
string(LENGTH "${modulus}" length)
if(NOT rc EQUAL 0 OR NOT length EQUAL 1024 OR NOT modulus MATCHES "^[0-9A-F]+$")
  message(FATAL_ERROR "TOVAN_PLUGIN_KEY: cannot read the modulus of ${KEY}: ${err}")
endif()

# 02 00 | 512 modulus bytes | 00 03 | 01 00 01
string(REGEX REPLACE "([0-9A-F][0-9A-F])" "0x\\1," bytes "${modulus}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUT}.tmp
"/* Made at build time from the plugin signer's key; never edit. */
const unsigned char public_raw[519] = {
    0x02,0x00,
    ${bytes}
    0x00,0x03,0x01,0x00,0x01};
const unsigned int public_raw_len = sizeof public_raw;
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
