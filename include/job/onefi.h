// job layer: the one-file image (1FI) container format.
//
// Offsets and sizes of the container's records. The reader (src/job/onefi.cpp) and the test
// writer decode and encode the records byte by byte with get_le32/put_le32 at these offsets,
// never by casting a struct onto file bytes. All integers are unsigned 32-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

// Header, at file offset 0.
constexpr size_t ONEFI_HEADER_SIZE = 492;
constexpr size_t ONEFI_MAGIC_OFF = 0; // 40 bytes: "1FI FORMAT" then 30 zero bytes
constexpr size_t ONEFI_MAGIC_SIZE = 40;
constexpr size_t ONEFI_CHECKSUM_OFF = 40; // 16 bytes: MD5 of file bytes 56 .. end
constexpr size_t ONEFI_CHECKSUM_SIZE = 16;
constexpr size_t ONEFI_CHECKED_FROM = 56; // first byte covered by the checksum
constexpr size_t ONEFI_NO_OF_SECTIONS_OFF = 56;
constexpr size_t ONEFI_CREATIONTIME_OFF = 60; // 12 ASCII digits YYYYMMDDhhmm, UTC, no terminator
constexpr size_t ONEFI_CREATIONTIME_SIZE = 12;
constexpr size_t ONEFI_ENABLE_CRC_OFF = 72;
constexpr size_t ONEFI_INIT_BBM_METHOD_OFF = 76;
constexpr size_t ONEFI_BBM_RELOC_ADDR_OFF = 80;
constexpr size_t ONEFI_BBM_RELOC_END_ADDR_OFF = 84;
constexpr size_t ONEFI_NUM_OF_CHIP_SELECT_OFF = 88; // all ones = -1 = not set
constexpr size_t ONEFI_DESCRIPTION_OFF = 92;        // 60 bytes, zero-terminated when shorter
constexpr size_t ONEFI_DESCRIPTION_SIZE = 60;
constexpr size_t ONEFI_HEADER_RESERVED_OFF = 152; // 340 bytes, not read

inline constexpr char ONEFI_MAGIC_TEXT[] = "1FI FORMAT";

// Section records follow the header: section k starts at 492 + 4776 * k.
constexpr size_t ONEFI_SECTION_SIZE = 4776;
constexpr size_t ONEFI_SECTION_TYPE_OFF = 0;

enum ONEFI_SECTION_TYPE : uint32_t {
    ONEFI_IMAGE = 0,   // an image and its NAND range
    ONEFI_ERASE = 1,   // a NAND range to erase
    ONEFI_GPIO_BD = 2, // a GPIO setting applied before flashing
    ONEFI_GPIO_AD = 3, // a GPIO setting applied after flashing
};
// Sections of any other type are skipped.

// Image section (offsets within the section record).
constexpr size_t ONEFI_IMG_ORIGINAL_FILENAME_OFF = 4;
constexpr size_t ONEFI_IMG_ORIGINAL_FILENAME_SIZE = 4096;
constexpr size_t ONEFI_IMG_DESCRIPTION_OFF = 4100;
constexpr size_t ONEFI_IMG_DESCRIPTION_SIZE = 256;
constexpr size_t ONEFI_IMG_OFFSET_OFF = 4356; // file offset of the image bytes
constexpr size_t ONEFI_IMG_SIZE_OFF = 4360;   // byte count; 0 = from offset to end of file
constexpr size_t ONEFI_IMG_NAND_OFFSET_OFF = 4364;
constexpr size_t ONEFI_IMG_NAND_OFFSET_END_OFF = 4368;
constexpr size_t ONEFI_IMG_WITH_OOB_OFF = 4372;
constexpr size_t ONEFI_IMG_RESERVED_OFF = 4376; // 400 bytes, not read

// Erase section.
constexpr size_t ONEFI_ERASE_DESCRIPTION_OFF = 4; // 256 bytes, not read
constexpr size_t ONEFI_ERASE_DESCRIPTION_SIZE = 256;
constexpr size_t ONEFI_ERASE_NAND_OFFSET_OFF = 260;
constexpr size_t ONEFI_ERASE_NAND_OFFSET_END_OFF = 264;

// GPIO section (before or after flashing).
constexpr size_t ONEFI_GPIO_NO_OFF = 4;
constexpr size_t ONEFI_GPIO_VALUE_OFF = 8;

static_assert(ONEFI_DESCRIPTION_OFF + ONEFI_DESCRIPTION_SIZE == ONEFI_HEADER_RESERVED_OFF);
static_assert(ONEFI_HEADER_RESERVED_OFF + 340 == ONEFI_HEADER_SIZE);
static_assert(ONEFI_IMG_RESERVED_OFF + 400 <= ONEFI_SECTION_SIZE);
static_assert(ONEFI_ERASE_NAND_OFFSET_END_OFF + 4 + 400 == 668);

// The size a container with n sections needs before any image data: 492 + 4776 * n, in 64 bits
// so that no count can wrap it.
inline uint64_t onefi_table_end(uint32_t no_of_sections)
{
    return ONEFI_HEADER_SIZE + static_cast<uint64_t>(ONEFI_SECTION_SIZE) * no_of_sections;
}
