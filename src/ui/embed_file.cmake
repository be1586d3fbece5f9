# Turns a binary file into a C++ source that defines load_flasher_image over its bytes.
# Run as: cmake -DIN=<file> -DOUT=<file.cpp> -DRESOURCE_ID=153 -P embed_file.cmake
if(NOT EXISTS "${IN}")
  message(FATAL_ERROR "DKB image not found: ${IN} (set BW_DKB_IMAGE to the agent's file)")
endif()
file(SIZE "${IN}" size)
file(READ "${IN}" hex HEX)
# Sixteen bytes a line keeps the generated file readable in a diff viewer.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
if(size EQUAL 0)
  set(bytes "0x00,")   # an array cannot be empty; the size below stays 0
endif()
file(WRITE "${OUT}.tmp"
"// Generated from ${IN} by embed_file.cmake: do not edit.\n"
"#include \"ui/dkb_image.h\"\n\n"
"namespace {\n"
"const unsigned char kImage[] = {\n    ${bytes}\n};\n"
"constexpr int kImageSize = ${size};\n"
"}  // namespace\n\n"
"const unsigned char *load_flasher_image(int resourceID, int *pRetSize)\n"
"{\n"
"    if (resourceID != ${RESOURCE_ID}) {\n"
"        if (pRetSize)\n"
"            *pRetSize = 0;\n"
"        return nullptr;\n"
"    }\n"
"    if (pRetSize)\n"
"        *pRetSize = kImageSize;\n"
"    return kImage;\n"
"}\n")
# Only touch the output when it changed, so a re-run does not rebuild the program.
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
