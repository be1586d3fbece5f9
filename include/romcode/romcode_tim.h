// romcode: the TIM header the boot ROM reads before the DKB image, and the builder of the
// station's default TIM. Called by the DKB bootstrap (libromcode_helper) and by tests.
//
// Layouts are given as byte offsets of little-endian u32 fields; records are converted with
// sor_tim_put/get and sor_tim_image_put/get, never cast.
#pragma once

#include <cstdint>

// Image ids, as the ROM's select image answer and the TIM carry them.
enum : uint32_t {
    SOR_IMAGE_ID_TIM = 0x54494D48,  // bytes 48 4D 49 54
    SOR_IMAGE_ID_DKB = 0x444B4249,  // bytes 49 42 4B 44
    SOR_IMAGE_ID_NONE = 0xFFFFFFFF, // next_image_id of the last image
};

// sor_tim: the header proper, 14 u32 fields.
enum {
    SOR_TIM_VERSION = 0,
    SOR_TIM_IDENTIFIER = 4,
    SOR_TIM_TRUSTED = 8,
    SOR_TIM_ISSUEDATE = 12,
    SOR_TIM_OEM_UNIQUE_ID = 16,
    SOR_TIM_WTM_FLASH_SIGN = 20,
    SOR_TIM_WTM_ENTRY_ADDR = 24,
    SOR_TIM_WTM_ENTRY_ADDR_BACK = 28,
    SOR_TIM_WTM_PATCH_SIGN = 32,
    SOR_TIM_WTM_PATCH_ADDR = 36,
    SOR_TIM_BOOT_FLASH_SIGN = 40,
    SOR_TIM_NO_OF_IMAGES = 44,
    SOR_TIM_NO_OF_KEYS = 48,
    SOR_TIM_SIZE_OF_RESERVED = 52,
    SOR_TIM_SIZE = 56,
};

// sor_tim_image: one image record, offsets within the record.
enum {
    SOR_TIM_IMAGE_ID = 0,
    SOR_TIM_IMAGE_NEXT_IMAGE_ID = 4,
    SOR_TIM_IMAGE_FLASH_ENTRY_ADDR = 8,
    SOR_TIM_IMAGE_LOAD_ADDR = 12,
    SOR_TIM_IMAGE_IMAGE_SIZE = 16,
    SOR_TIM_IMAGE_IMAGE_SIZE_TO_HASH = 20,
    SOR_TIM_IMAGE_HASH_ALGORITHM_ID = 24,
    SOR_TIM_IMAGE_HASH = 28, // 8 words
    SOR_TIM_IMAGE_HASH_WORDS = 8,
    SOR_TIM_IMAGE_SIZE = 60,
};

// The default TIM: the header and two image records (the TIM itself, then the DKB image).
enum {
    SOR_DEFAULT_TIM_SIZE = 176,
    SOR_DEFAULT_TIM_IMAGE1 = 56,  // offset of the TIM's own record
    SOR_DEFAULT_TIM_IMAGE2 = 116, // offset of the DKB image's record
};
static_assert(SOR_DEFAULT_TIM_IMAGE1 == int(SOR_TIM_SIZE));
static_assert(SOR_DEFAULT_TIM_IMAGE2 == SOR_DEFAULT_TIM_IMAGE1 + int(SOR_TIM_IMAGE_SIZE));
static_assert(SOR_DEFAULT_TIM_SIZE == SOR_DEFAULT_TIM_IMAGE2 + int(SOR_TIM_IMAGE_SIZE));

// Values of the default TIM.
enum : uint32_t {
    SOR_DEFAULT_TIM_VERSION = 0x00030102,
    SOR_DEFAULT_TIM_ISSUEDATE = 0x02212007,
    SOR_DEFAULT_TIM_OEM_UNIQUE_ID = 0xEEEEEEEE,
    SOR_DEFAULT_TIM_BOOT_FLASH_SIGN = 0x4E414E04,
    SOR_DEFAULT_TIM_LOAD_ADDR = 0x5C008000,
    SOR_DEFAULT_DKB_FLASH_ENTRY_ADDR = 0x80000000,
    SOR_DEFAULT_DKB_LOAD_ADDR = 0x5C013000,
};

struct sor_tim {
    uint32_t version;
    uint32_t identifier;
    uint32_t trusted;
    uint32_t issuedate;
    uint32_t oem_unique_id;
    uint32_t wtm_flash_sign;
    uint32_t wtm_entry_addr;
    uint32_t wtm_entry_addr_back;
    uint32_t wtm_patch_sign;
    uint32_t wtm_patch_addr;
    uint32_t boot_flash_sign;
    uint32_t no_of_images;
    uint32_t no_of_keys;
    uint32_t size_of_reserved;
};

struct sor_tim_image {
    uint32_t image_id;
    uint32_t next_image_id;
    uint32_t flash_entry_addr;
    uint32_t load_addr;
    uint32_t image_size;
    uint32_t image_size_to_hash;
    uint32_t hash_algorithm_id;
    uint32_t hash[SOR_TIM_IMAGE_HASH_WORDS];
};

// SOR_TIM_SIZE bytes <-> record.
void sor_tim_put(const sor_tim *t, uint8_t *out);
void sor_tim_get(const uint8_t *in, sor_tim *t);
// SOR_TIM_IMAGE_SIZE bytes <-> record.
void sor_tim_image_put(const sor_tim_image *im, uint8_t *out);
void sor_tim_image_get(const uint8_t *in, sor_tim_image *im);

// A newly allocated (malloc) 176-byte default TIM for a DKB image of size bytes; stores 176 in
// *ret_size. img and crc_enable do not change the result. The caller frees it with free().
// Returns null (and stores 0) when size is negative or memory is exhausted.
unsigned char *generate_default_tim_for_dkb(unsigned char *img, int size, int crc_enable,
                                            int *ret_size);
