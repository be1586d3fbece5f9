// job layer: the flash job record and its reader.
//
// flashini_parse_file() reads flasher.ini (and the one-file image container it may name) into
// one flashini_content record at station start-up; the station core reads that record, never
// writing it, for the rest of the run. The record and its four lists are plain C-style heap
// blocks so any thread may read them without locks once start-up is over.
#pragma once

#include <cstdint>

// How bad-block management (BBM) is set up before the images are written; init_bbm_method holds
// one of these. Any other value parses and fails each phone at flashing time.
enum FLASHINI_INITNAND_BBM {
    FLASHINI_USE_EXIST_BBM = 0,                            // use the BBM on the flash, or fail
    FLASHINI_INIT_NAKE_BBM = 1,                            // build a new BBM on a bare flash
    FLASHINI_INIT_USED_BBM = 2,                            // build a new BBM on a used flash
    FLASHINI_USE_EXIST_BBM_IF_NOT_FOUND_INIT_USED_BBM = 3, // use the BBM, else build as used
};

// One NAND range to erase: [nand_loc_start, nand_loc_end).
struct flashini_erase_info {
    uint32_t nand_loc_start;
    uint32_t nand_loc_end;
};

// One GPIO setting.
struct flashini_gpio_info {
    int gpio;  // GPIO number
    int value; // level to set
};

// One image to write.
struct flashini_partition_info {
    char original_filename[4096]; // the image's own name (from flasher.ini or the container)
    char filename[4096];          // the file the bytes are read from (the container's path for
                                  // entries taken from a container)
    char desc[256];               // shown in the Image column while this entry is written
    uint32_t nand_loc_start;      // NAND start address
    uint32_t nand_loc_end;        // end of the NAND range, not included; the rest is erased
    int image_with_oob;           // non-zero: each page's spare (OOB) bytes follow the page
    int skip_flash;               // non-zero: not written (only when its file is missing)
    char md5sum_res[33];          // room for a hex digest; cleared, otherwise unused
    int offset_in_file;           // where the image bytes start in filename
    int file_size;                // number of image bytes; 0 = from offset_in_file to the end
};

// The lists: each is ONE heap block (calloc'd), an int count directly followed by that many
// entries, e.g. list->partition_info[0 .. list->no_of_partition_info - 1]. Freed with free().
struct flashini_erase_info_list {
    int no_of_erase_info;
    flashini_erase_info erase_info[];
};

struct flashini_partition_info_list {
    int no_of_partition_info;
    flashini_partition_info partition_info[];
};

struct flashini_gpio_info_list {
    int no_of_gpio_info;
    flashini_gpio_info gpio_info[];
};

// The job record. Integer settings use -1 for "not set".
struct flashini_content {
    int enable_crc;            // non-zero: RAM transfers to the agent carry a CRC-16
    int init_bbm_method;       // a FLASHINI_INITNAND_BBM value
    int bbm_reloc_addr;        // start of the BBM relocation area; 0 = not set
    int bbm_reloc_end_addr;    // end of the relocation area; sent only when both are non-zero
    int num_of_chip_select;    // NAND chip selects; -1 = do not send NAND parameters
    int loop_test;             // non-zero: reset the phone after success instead of waiting
    int logging;               // non-zero: write the CSV production log
    int reboot;                // non-zero: same effect as loop_test
    int sync_pc_time;          // non-zero: set the phone's clock from the PC
    int verify;                // non-zero: read every image back after writing it and compare
    int skip_blank;            // 1: trailing 0xFF pages and 0xFF blocks of an image are not
                               // sent (blocks erased instead), as a NAND file system needs
    char creationtime[12];     // container's creation time, YYYYMMDDhhmm UTC, NOT terminated;
                               // all zero bytes without a container
    char one_file_image[4096]; // container path as written; empty without one
    char one_file_image_description[61];               // container's description; empty without one
    flashini_erase_info_list *erase_info_list;         // ranges to erase, in order
    flashini_partition_info_list *partition_info_list; // images to write, in order
    flashini_gpio_info_list *gpio_bd_info_list;        // GPIOs set before the NAND work
    flashini_gpio_info_list *gpio_ad_info_list;        // GPIOs set after images and BBM table
};

// Reads the job file ini_name (and the container it names under "map:1fi_file"). Returns a new
// record owned by the caller with all four lists present, or nullptr on any failure, in which
// case nothing stays allocated and the reason (if the job file gives one) is on stderr.
// Not for concurrent use with other iniparser users: a job file that starts with a UTF-8 byte
// order mark is loaded with iniparser's error callback set to one of this module's own, and
// iniparser's default callback is reinstalled afterwards.
flashini_content *flashini_parse_file(const char *ini_name);

// Frees the four lists and then the record. Accepts nullptr.
void flashini_destroy(flashini_content *content);

// Reads the one-file image container at path one_file_image into ini_content: the header's
// settings, creationtime, description, the path itself, and four NEW lists holding the
// container's sections (the record's list pointers must be null on entry). Returns 0 on
// success; non-zero after writing one line to stderr, with ini_content unchanged.
int parse_one_1fi(flashini_content *ini_content, const char *one_file_image);
