// romcode: the TIM header records and the station's default TIM for the DKB image. Called by the
// DKB bootstrap (libromcode_helper.cpp) for every phone, and by tests.
#include "romcode/romcode_tim.h"

#include <cstdlib>
#include <cstring>

#include "util/bytes.h"

void sor_tim_put(const sor_tim *t, uint8_t *out)
{
    const uint32_t fields[] = {t->version,        t->identifier,          t->trusted,
                               t->issuedate,      t->oem_unique_id,       t->wtm_flash_sign,
                               t->wtm_entry_addr, t->wtm_entry_addr_back, t->wtm_patch_sign,
                               t->wtm_patch_addr, t->boot_flash_sign,     t->no_of_images,
                               t->no_of_keys,     t->size_of_reserved};
    static_assert(sizeof(fields) == SOR_TIM_SIZE);
    for (size_t i = 0; i < sizeof(fields) / sizeof(fields[0]); i++)
        put_le32(out + 4 * i, fields[i]);
}

void sor_tim_get(const uint8_t *in, sor_tim *t)
{
    uint32_t *fields[] = {&t->version,        &t->identifier,          &t->trusted,
                          &t->issuedate,      &t->oem_unique_id,       &t->wtm_flash_sign,
                          &t->wtm_entry_addr, &t->wtm_entry_addr_back, &t->wtm_patch_sign,
                          &t->wtm_patch_addr, &t->boot_flash_sign,     &t->no_of_images,
                          &t->no_of_keys,     &t->size_of_reserved};
    static_assert(sizeof(fields) / sizeof(fields[0]) * 4 == SOR_TIM_SIZE);
    for (size_t i = 0; i < sizeof(fields) / sizeof(fields[0]); i++)
        *fields[i] = get_le32(in + 4 * i);
}

void sor_tim_image_put(const sor_tim_image *im, uint8_t *out)
{
    put_le32(out + SOR_TIM_IMAGE_ID, im->image_id);
    put_le32(out + SOR_TIM_IMAGE_NEXT_IMAGE_ID, im->next_image_id);
    put_le32(out + SOR_TIM_IMAGE_FLASH_ENTRY_ADDR, im->flash_entry_addr);
    put_le32(out + SOR_TIM_IMAGE_LOAD_ADDR, im->load_addr);
    put_le32(out + SOR_TIM_IMAGE_IMAGE_SIZE, im->image_size);
    put_le32(out + SOR_TIM_IMAGE_IMAGE_SIZE_TO_HASH, im->image_size_to_hash);
    put_le32(out + SOR_TIM_IMAGE_HASH_ALGORITHM_ID, im->hash_algorithm_id);
    for (int i = 0; i < SOR_TIM_IMAGE_HASH_WORDS; i++)
        put_le32(out + SOR_TIM_IMAGE_HASH + 4 * i, im->hash[i]);
    static_assert(SOR_TIM_IMAGE_HASH + 4 * SOR_TIM_IMAGE_HASH_WORDS == SOR_TIM_IMAGE_SIZE);
}

void sor_tim_image_get(const uint8_t *in, sor_tim_image *im)
{
    im->image_id = get_le32(in + SOR_TIM_IMAGE_ID);
    im->next_image_id = get_le32(in + SOR_TIM_IMAGE_NEXT_IMAGE_ID);
    im->flash_entry_addr = get_le32(in + SOR_TIM_IMAGE_FLASH_ENTRY_ADDR);
    im->load_addr = get_le32(in + SOR_TIM_IMAGE_LOAD_ADDR);
    im->image_size = get_le32(in + SOR_TIM_IMAGE_IMAGE_SIZE);
    im->image_size_to_hash = get_le32(in + SOR_TIM_IMAGE_IMAGE_SIZE_TO_HASH);
    im->hash_algorithm_id = get_le32(in + SOR_TIM_IMAGE_HASH_ALGORITHM_ID);
    for (int i = 0; i < SOR_TIM_IMAGE_HASH_WORDS; i++)
        im->hash[i] = get_le32(in + SOR_TIM_IMAGE_HASH + 4 * i);
}

unsigned char *generate_default_tim_for_dkb(unsigned char *img, int size, int crc_enable,
                                            int *ret_size)
{
    // The ROM loads the bare image as it is: nothing of its content (no hash, no checksum)
    // enters the TIM, only its length.
    (void)img;
    (void)crc_enable;
    *ret_size = 0;
    if (size < 0)
        return nullptr;
    auto *tim = static_cast<unsigned char *>(malloc(SOR_DEFAULT_TIM_SIZE));
    if (!tim)
        return nullptr;
    memset(tim, 0, SOR_DEFAULT_TIM_SIZE);

    sor_tim header = {};
    header.version = SOR_DEFAULT_TIM_VERSION;
    header.identifier = SOR_IMAGE_ID_TIM;
    header.trusted = 0;
    header.issuedate = SOR_DEFAULT_TIM_ISSUEDATE;
    header.oem_unique_id = SOR_DEFAULT_TIM_OEM_UNIQUE_ID;
    // No WTM (trusted boot) stage on this path.
    header.wtm_flash_sign = 0xFFFFFFFF;
    header.wtm_entry_addr = 0xFFFFFFFF;
    header.wtm_entry_addr_back = 0xFFFFFFFF;
    header.wtm_patch_sign = 0xFFFFFFFF;
    header.wtm_patch_addr = 0xFFFFFFFF;
    header.boot_flash_sign = SOR_DEFAULT_TIM_BOOT_FLASH_SIGN;
    header.no_of_images = 2;
    sor_tim_put(&header, tim);

    sor_tim_image self = {}; // the TIM describes itself first
    self.image_id = SOR_IMAGE_ID_TIM;
    self.next_image_id = SOR_IMAGE_ID_DKB;
    self.load_addr = SOR_DEFAULT_TIM_LOAD_ADDR;
    self.image_size = SOR_DEFAULT_TIM_SIZE;
    sor_tim_image_put(&self, tim + SOR_DEFAULT_TIM_IMAGE1);

    sor_tim_image dkb = {};
    dkb.image_id = SOR_IMAGE_ID_DKB;
    dkb.next_image_id = SOR_IMAGE_ID_NONE;
    dkb.flash_entry_addr = SOR_DEFAULT_DKB_FLASH_ENTRY_ADDR;
    dkb.load_addr = SOR_DEFAULT_DKB_LOAD_ADDR;
    dkb.image_size = static_cast<uint32_t>(size);
    sor_tim_image_put(&dkb, tim + SOR_DEFAULT_TIM_IMAGE2);

    *ret_size = SOR_DEFAULT_TIM_SIZE;
    return tim;
}
