# cmake -DDEFINITION=FILE -P notes_frozen_hash.cmake: fails unless FILE
# states `version N frozen "HASH";` and HASH is the SHA-1 of what follows
# that line (the declarations the version froze).
file(READ ${DEFINITION} text)
if(NOT text MATCHES "\nversion [0-9]+ frozen \"([0-9a-f]+)\";\n")
  message(FATAL_ERROR "${DEFINITION}: no frozen version line")
endif()
set(stated ${CMAKE_MATCH_1})
string(FIND "${text}" "${CMAKE_MATCH_0}" at)
string(LENGTH "${CMAKE_MATCH_0}" length)
math(EXPR at "${at} + ${length}")
string(SUBSTRING "${text}" ${at} -1 declarations)
string(SHA1 actual "${declarations}")
if(NOT actual STREQUAL stated)
  message(FATAL_ERROR "${DEFINITION}: the declarations hash to ${actual}, the version states ${stated}")
endif()
