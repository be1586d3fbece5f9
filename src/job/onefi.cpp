// job layer: reads a one-file image (1FI) container into the job record.
//
// Called by flashini_parse_file() when flasher.ini names a container under "map:1fi_file". The
// container is checked (magic, MD5 of bytes 56..end, section table within the file, every
// image's bytes within the file) before anything is handed over; image bytes are only hashed,
// streamed through one 1 MiB buffer, never kept or copied. Records are decoded field by field
// with get_le32 at the offsets of job/onefi.h.
#include "job/onefi.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "job/flashini_parser.h"
#include "util/bytes.h"
#include "util/md5.h"

namespace
{

constexpr size_t CHECKSUM_CHUNK = 1024 * 1024;

// pread that retries short reads; returns the bytes read (fewer only at end of file or error).
size_t read_at(int fd, uint8_t *buf, size_t len, uint64_t offset)
{
    size_t done = 0;
    while (done < len) {
        ssize_t got = pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

void print_hex(const uint8_t *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++)
        fprintf(stderr, "%02X", bytes[i]);
}

// MD5 over every byte from offset 56 to the end of the file, compared with the stored checksum.
// *file_len receives the length the digest covered, which the range checks below use.
int verify_checksum(int fd, const uint8_t *header, uint64_t *file_len)
{
    auto *buf = static_cast<uint8_t *>(malloc(CHECKSUM_CHUNK));
    if (!buf) {
        fprintf(stderr, "One file image checksum error: out of memory\n");
        return -1;
    }
    MD5_CTX ctx;
    bool ok = MD5Init(&ctx) == 0;
    bool read_failed = false;
    uint64_t offset = ONEFI_CHECKED_FROM;
    while (ok) {
        ssize_t got = pread(fd, buf, CHECKSUM_CHUNK, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            read_failed = true;
        if (got <= 0)
            break;
        ok = MD5Update(&ctx, buf, static_cast<size_t>(got)) == 0;
        offset += static_cast<uint64_t>(got);
    }
    if (MD5Final(&ctx) != 0)
        ok = false;
    free(buf);

    if (read_failed) {
        fprintf(stderr, "Read one file image error\n");
        return -1;
    }
    if (!ok) {
        fprintf(stderr, "One file image checksum error: the MD5 digest failed\n");
        return -1;
    }
    if (memcmp(header + ONEFI_CHECKSUM_OFF, ctx.digest, ONEFI_CHECKSUM_SIZE) != 0) {
        fprintf(stderr, "One file image checksum error: ");
        print_hex(header + ONEFI_CHECKSUM_OFF, ONEFI_CHECKSUM_SIZE);
        fprintf(stderr, " expected: ");
        print_hex(ctx.digest, sizeof ctx.digest);
        fprintf(stderr, "\n");
        return -1;
    }
    *file_len = offset;
    return 0;
}

// How many sections of each type the table holds.
struct section_counts {
    int image, erase, gpio_bd, gpio_ad;
};

// An image section's bytes must lie inside the file, and offset and size must fit the int fields
// of the job's entry: otherwise the writer would read past the end of the container.
int check_image_range(const uint8_t *sec, uint32_t k, uint64_t file_len)
{
    uint32_t offset = get_le32(sec + ONEFI_IMG_OFFSET_OFF);
    uint32_t size = get_le32(sec + ONEFI_IMG_SIZE_OFF);
    if (offset > INT_MAX || size > INT_MAX || offset > file_len ||
        static_cast<uint64_t>(offset) + size > file_len) {
        fprintf(stderr,
                "One file image section %u: image at offset %u, size %u lies beyond the end of "
                "the file (%llu bytes)\n",
                k, offset, size, static_cast<unsigned long long>(file_len));
        return -1;
    }
    return 0;
}

// First pass over the section table: counts each type and checks image ranges.
int count_sections(int fd, uint32_t no_of_sections, uint64_t file_len, section_counts *counts)
{
    uint8_t sec[ONEFI_SECTION_SIZE];
    *counts = {};
    for (uint32_t k = 0; k < no_of_sections; k++) {
        if (read_at(fd, sec, sizeof sec, ONEFI_HEADER_SIZE + uint64_t{ONEFI_SECTION_SIZE} * k) !=
            sizeof sec) {
            fprintf(stderr, "Read file image error\n");
            return -1;
        }
        switch (get_le32(sec + ONEFI_SECTION_TYPE_OFF)) {
        case ONEFI_IMAGE:
            if (check_image_range(sec, k, file_len))
                return -1;
            counts->image++;
            break;
        case ONEFI_ERASE:
            counts->erase++;
            break;
        case ONEFI_GPIO_BD:
            counts->gpio_bd++;
            break;
        case ONEFI_GPIO_AD:
            counts->gpio_ad++;
            break;
        default: // unknown types are skipped
            break;
        }
    }
    return 0;
}

// The container's four lists, built aside and handed to the job record only when complete.
struct onefi_lists {
    flashini_erase_info_list *erase = nullptr;
    flashini_partition_info_list *partition = nullptr;
    flashini_gpio_info_list *gpio_bd = nullptr;
    flashini_gpio_info_list *gpio_ad = nullptr;

    void release()
    {
        free(erase);
        free(partition);
        free(gpio_bd);
        free(gpio_ad);
        *this = {};
    }
};

int allocate_lists(const section_counts &c, onefi_lists *l)
{
    l->erase = static_cast<flashini_erase_info_list *>(
        calloc(1, sizeof(flashini_erase_info_list) + c.erase * sizeof(flashini_erase_info)));
    l->partition = static_cast<flashini_partition_info_list *>(calloc(
        1, sizeof(flashini_partition_info_list) + c.image * sizeof(flashini_partition_info)));
    l->gpio_bd = static_cast<flashini_gpio_info_list *>(
        calloc(1, sizeof(flashini_gpio_info_list) + c.gpio_bd * sizeof(flashini_gpio_info)));
    l->gpio_ad = static_cast<flashini_gpio_info_list *>(
        calloc(1, sizeof(flashini_gpio_info_list) + c.gpio_ad * sizeof(flashini_gpio_info)));
    if (!l->erase || !l->partition || !l->gpio_bd || !l->gpio_ad) {
        fprintf(stderr, "Read file image error: out of memory\n");
        l->release();
        return -1;
    }
    return 0;
}

// Copies a text field of n bytes that need not be terminated into dst (cut to dst_size - 1).
void copy_fixed_text(char *dst, size_t dst_size, const uint8_t *src, size_t n)
{
    size_t len = strnlen(reinterpret_cast<const char *>(src), n);
    if (len > dst_size - 1)
        len = dst_size - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

void fill_image(const uint8_t *sec, const char *path, flashini_partition_info *e)
{
    copy_text_field(e->filename, sizeof e->filename, path);
    copy_fixed_text(e->original_filename, sizeof e->original_filename,
                    sec + ONEFI_IMG_ORIGINAL_FILENAME_OFF, ONEFI_IMG_ORIGINAL_FILENAME_SIZE);
    copy_fixed_text(e->desc, sizeof e->desc, sec + ONEFI_IMG_DESCRIPTION_OFF,
                    ONEFI_IMG_DESCRIPTION_SIZE);
    e->nand_loc_start = get_le32(sec + ONEFI_IMG_NAND_OFFSET_OFF);
    e->nand_loc_end = get_le32(sec + ONEFI_IMG_NAND_OFFSET_END_OFF);
    e->image_with_oob = static_cast<int>(get_le32(sec + ONEFI_IMG_WITH_OOB_OFF));
    e->skip_flash = 0;
    memset(e->md5sum_res, 0, sizeof e->md5sum_res);
    // Both were checked to be at most INT_MAX by check_image_range.
    e->offset_in_file = static_cast<int>(get_le32(sec + ONEFI_IMG_OFFSET_OFF));
    e->file_size = static_cast<int>(get_le32(sec + ONEFI_IMG_SIZE_OFF));
}

// Second pass: fills the lists, each in the order its sections appear in the file.
int fill_lists(int fd, uint32_t no_of_sections, const char *path, onefi_lists *l)
{
    uint8_t sec[ONEFI_SECTION_SIZE];
    for (uint32_t k = 0; k < no_of_sections; k++) {
        if (read_at(fd, sec, sizeof sec, ONEFI_HEADER_SIZE + uint64_t{ONEFI_SECTION_SIZE} * k) !=
            sizeof sec) {
            fprintf(stderr, "Read file image error\n");
            return -1;
        }
        uint32_t type = get_le32(sec + ONEFI_SECTION_TYPE_OFF);
        if (type == ONEFI_IMAGE) {
            fill_image(sec, path,
                       &l->partition->partition_info[l->partition->no_of_partition_info++]);
        } else if (type == ONEFI_ERASE) {
            flashini_erase_info &e = l->erase->erase_info[l->erase->no_of_erase_info++];
            e.nand_loc_start = get_le32(sec + ONEFI_ERASE_NAND_OFFSET_OFF);
            e.nand_loc_end = get_le32(sec + ONEFI_ERASE_NAND_OFFSET_END_OFF);
        } else if (type == ONEFI_GPIO_BD || type == ONEFI_GPIO_AD) {
            flashini_gpio_info_list *list = type == ONEFI_GPIO_BD ? l->gpio_bd : l->gpio_ad;
            flashini_gpio_info &e = list->gpio_info[list->no_of_gpio_info++];
            e.gpio = static_cast<int>(get_le32(sec + ONEFI_GPIO_NO_OFF));
            e.value = static_cast<int>(get_le32(sec + ONEFI_GPIO_VALUE_OFF));
        }
    }
    return 0;
}

// Checks and reads the container open on fd; fills the record only when everything is read.
int read_container(int fd, flashini_content *job, const char *path)
{
    uint8_t header[ONEFI_HEADER_SIZE];
    if (read_at(fd, header, sizeof header, 0) != sizeof header) {
        fprintf(stderr, "Read one file image error\n");
        return -1;
    }

    uint8_t magic[ONEFI_MAGIC_SIZE] = {};
    memcpy(magic, ONEFI_MAGIC_TEXT, sizeof ONEFI_MAGIC_TEXT - 1);
    if (memcmp(header + ONEFI_MAGIC_OFF, magic, sizeof magic) != 0) {
        fprintf(stderr, "One file image magic number not found\n");
        return -1;
    }

    uint64_t file_len;
    if (verify_checksum(fd, header, &file_len))
        return -1;

    // The table's size is checked against the file before anything is allocated for it (the
    // second test only matters for files of 10 TB and more: list counts are ints).
    uint32_t no_of_sections = get_le32(header + ONEFI_NO_OF_SECTIONS_OFF);
    if (onefi_table_end(no_of_sections) > file_len || no_of_sections > INT_MAX) {
        fprintf(stderr, "Read file image error\n");
        return -1;
    }

    section_counts counts;
    if (count_sections(fd, no_of_sections, file_len, &counts))
        return -1;
    onefi_lists lists;
    if (allocate_lists(counts, &lists))
        return -1;
    if (fill_lists(fd, no_of_sections, path, &lists)) {
        lists.release();
        return -1;
    }

    job->enable_crc = static_cast<int>(get_le32(header + ONEFI_ENABLE_CRC_OFF));
    job->init_bbm_method = static_cast<int>(get_le32(header + ONEFI_INIT_BBM_METHOD_OFF));
    job->bbm_reloc_addr = static_cast<int>(get_le32(header + ONEFI_BBM_RELOC_ADDR_OFF));
    job->bbm_reloc_end_addr = static_cast<int>(get_le32(header + ONEFI_BBM_RELOC_END_ADDR_OFF));
    job->num_of_chip_select = static_cast<int>(get_le32(header + ONEFI_NUM_OF_CHIP_SELECT_OFF));
    memcpy(job->creationtime, header + ONEFI_CREATIONTIME_OFF, ONEFI_CREATIONTIME_SIZE);
    copy_fixed_text(job->one_file_image_description, sizeof job->one_file_image_description,
                    header + ONEFI_DESCRIPTION_OFF, ONEFI_DESCRIPTION_SIZE);
    copy_text_field(job->one_file_image, sizeof job->one_file_image, path);
    job->erase_info_list = lists.erase;
    job->partition_info_list = lists.partition;
    job->gpio_bd_info_list = lists.gpio_bd;
    job->gpio_ad_info_list = lists.gpio_ad;
    return 0;
}

} // namespace

int parse_one_1fi(flashini_content *ini_content, const char *one_file_image)
{
    // A path the entries' filename fields cannot hold would name another file once cut.
    if (strlen(one_file_image) >= sizeof ini_content->one_file_image) {
        fprintf(stderr, "Open one file image error\n");
        return -1;
    }
    // Non-blocking so that a FIFO named by mistake cannot hang start-up; refused just below.
    int fd = open(one_file_image, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "Open one file image error\n");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    int rc = read_container(fd, ini_content, one_file_image);
    close(fd);
    return rc;
}
