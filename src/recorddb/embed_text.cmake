# Turns a text file into a C++ source that defines `const char *<FUNCTION>()` over its bytes,
# NUL-terminated. Run as: cmake -DIN=<file> -DOUT=<file.cpp> -DFUNCTION=<name> -P embed_text.cmake
if(NOT EXISTS "${IN}")
  message(FATAL_ERROR "file to embed not found: ${IN}")
endif()
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUT}.tmp"
"// Generated from ${IN} by embed_text.cmake: do not edit.\n"
"namespace {\n"
"const char kText[] = {\n    ${bytes}0x00\n};\n"
"}  // namespace\n\n"
"const char *${FUNCTION}()\n"
"{\n"
"    return kText;\n"
"}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
