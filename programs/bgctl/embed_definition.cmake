# Writes the header OUTPUT holding the text of the definition file INPUT as
# a character array (cmake -DINPUT=... -DOUTPUT=... -P embed_definition.cmake).
# bgctl builds its own method table from this text, so the program and the
# binding library always describe the same interface.
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from the package's definition file at build time; do not edit.\n"
  "#pragma once\n"
  "namespace bgctl {\n"
  "inline constexpr char kBuiltinDefinitionText[] = {\n    ${bytes}'\\0'};\n"
  "}  // namespace bgctl\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
