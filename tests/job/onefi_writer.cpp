// tests and developer tools of the job layer: one-file image container writer (see the header).
#include "onefi_writer.h"

#include <cstdio>
#include <cstring>

#include "util/bytes.h"
#include "util/md5.h"

namespace onefi_writer
{

namespace
{

// Copies text into a fixed field of n bytes: at most n bytes, zero-padded, no terminator when
// the text fills the field.
void put_text(uint8_t *field, size_t n, const std::string &text)
{
    memset(field, 0, n);
    memcpy(field, text.data(), text.size() < n ? text.size() : n);
}

} // namespace

std::vector<uint8_t> build(const container &c)
{
    size_t table_end = ONEFI_HEADER_SIZE + ONEFI_SECTION_SIZE * c.sections.size();
    size_t total = table_end;
    for (const section &s : c.sections)
        total += s.data.size();
    std::vector<uint8_t> out(total, 0);
    uint8_t *h = out.data();

    put_text(h + ONEFI_MAGIC_OFF, ONEFI_MAGIC_SIZE, ONEFI_MAGIC_TEXT);
    put_le32(h + ONEFI_NO_OF_SECTIONS_OFF,
             c.no_of_sections.value_or(static_cast<uint32_t>(c.sections.size())));
    put_text(h + ONEFI_CREATIONTIME_OFF, ONEFI_CREATIONTIME_SIZE, c.creationtime);
    put_le32(h + ONEFI_ENABLE_CRC_OFF, c.enable_crc_download);
    put_le32(h + ONEFI_INIT_BBM_METHOD_OFF, c.init_nand_flash_bbm_method);
    put_le32(h + ONEFI_BBM_RELOC_ADDR_OFF, c.bbm_reloc_addr);
    put_le32(h + ONEFI_BBM_RELOC_END_ADDR_OFF, c.bbm_reloc_end_addr);
    put_le32(h + ONEFI_NUM_OF_CHIP_SELECT_OFF, c.num_of_chip_select);
    put_text(h + ONEFI_DESCRIPTION_OFF, ONEFI_DESCRIPTION_SIZE, c.description);

    size_t data_at = table_end;
    for (size_t k = 0; k < c.sections.size(); k++) {
        const section &s = c.sections[k];
        uint8_t *sec = h + ONEFI_HEADER_SIZE + ONEFI_SECTION_SIZE * k;
        put_le32(sec + ONEFI_SECTION_TYPE_OFF, s.type);
        if (s.type == ONEFI_IMAGE) {
            put_text(sec + ONEFI_IMG_ORIGINAL_FILENAME_OFF, ONEFI_IMG_ORIGINAL_FILENAME_SIZE,
                     s.name);
            put_text(sec + ONEFI_IMG_DESCRIPTION_OFF, ONEFI_IMG_DESCRIPTION_SIZE, s.desc);
            put_le32(sec + ONEFI_IMG_OFFSET_OFF, s.offset.value_or(static_cast<uint32_t>(data_at)));
            put_le32(sec + ONEFI_IMG_SIZE_OFF,
                     s.size.value_or(static_cast<uint32_t>(s.data.size())));
            put_le32(sec + ONEFI_IMG_NAND_OFFSET_OFF, s.first);
            put_le32(sec + ONEFI_IMG_NAND_OFFSET_END_OFF, s.second);
            put_le32(sec + ONEFI_IMG_WITH_OOB_OFF, s.with_oob);
        } else if (s.type == ONEFI_ERASE) {
            put_text(sec + ONEFI_ERASE_DESCRIPTION_OFF, ONEFI_ERASE_DESCRIPTION_SIZE, s.name);
            put_le32(sec + ONEFI_ERASE_NAND_OFFSET_OFF, s.first);
            put_le32(sec + ONEFI_ERASE_NAND_OFFSET_END_OFF, s.second);
        } else if (s.type == ONEFI_GPIO_BD || s.type == ONEFI_GPIO_AD) {
            put_le32(sec + ONEFI_GPIO_NO_OFF, s.first);
            put_le32(sec + ONEFI_GPIO_VALUE_OFF, s.second);
        }
        if (!s.data.empty())
            memcpy(h + data_at, s.data.data(), s.data.size());
        data_at += s.data.size();
    }
    seal(out);
    return out;
}

void seal(std::vector<uint8_t> &bytes)
{
    if (bytes.size() < ONEFI_CHECKED_FROM)
        return;
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, bytes.data() + ONEFI_CHECKED_FROM, bytes.size() - ONEFI_CHECKED_FROM);
    MD5Final(&ctx);
    memcpy(bytes.data() + ONEFI_CHECKSUM_OFF, ctx.digest, ONEFI_CHECKSUM_SIZE);
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool reseal_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "r+b");
    if (!f)
        return false;
    std::vector<uint8_t> buf(1024 * 1024);
    MD5_CTX ctx;
    bool ok = MD5Init(&ctx) == 0 && fseek(f, ONEFI_CHECKED_FROM, SEEK_SET) == 0;
    size_t got;
    while (ok && (got = fread(buf.data(), 1, buf.size(), f)) > 0)
        ok = MD5Update(&ctx, buf.data(), got) == 0;
    ok = MD5Final(&ctx) == 0 && ok && !ferror(f);
    ok = ok && fseek(f, ONEFI_CHECKSUM_OFF, SEEK_SET) == 0 &&
         fwrite(ctx.digest, 1, ONEFI_CHECKSUM_SIZE, f) == ONEFI_CHECKSUM_SIZE;
    return fclose(f) == 0 && ok;
}

bool read_file(const std::string &path, std::vector<uint8_t> *bytes)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bytes->clear();
    uint8_t buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        bytes->insert(bytes->end(), buf, buf + got);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

} // namespace onefi_writer
