# Turns a binary file into a C++ source defining a function that returns its bytes.
# Run as: cmake -DINPUT=... -DOUTPUT=... -DFUNCTION=... -P EmbedFile.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstdint>\n#include <span>\n\nnamespace {\nconst std::uint8_t data[${size}] = {\n    ${bytes}\n};\n}\n\nstd::span<const std::uint8_t> ${FUNCTION}() { return data; }\n")
