// tests and developer tools of the job layer: builds one-file image containers, valid or
// deliberately damaged, for the tests, the fuzz seeds, the benchmark and tools/mk1fi.
//
// Not part of the station (which only reads containers). Records are encoded byte by byte with
// put_le32 at the offsets of job/onefi.h, the same offsets the reader decodes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "job/onefi.h"

namespace onefi_writer
{

// One section record. Which fields count depends on type.
struct section {
    uint32_t type = ONEFI_IMAGE;
    std::string name;               // image: original_filename; erase: its description
    std::string desc;               // image: description
    std::vector<uint8_t> data;      // image: the bytes, placed after the section table
    uint32_t first = 0;             // image, erase: NAND start; GPIO: gpio_no
    uint32_t second = 0;            // image, erase: NAND end;   GPIO: value
    uint32_t with_oob = 0;          // image only
    std::optional<uint32_t> offset; // image: stored offset instead of the data's real place
    std::optional<uint32_t> size;   // image: stored size instead of data.size()
};

struct container {
    std::string description;                   // up to 60 bytes; 60 leaves no terminator
    std::string creationtime = "201011250647"; // 12 digits, YYYYMMDDhhmm UTC
    uint32_t enable_crc_download = 1;
    uint32_t init_nand_flash_bbm_method = 3;
    uint32_t bbm_reloc_addr = 0;
    uint32_t bbm_reloc_end_addr = 0;
    uint32_t num_of_chip_select = 0xFFFFFFFF;
    std::vector<section> sections;
    std::optional<uint32_t> no_of_sections; // stored count instead of sections.size()
};

// The container's bytes with a correct checksum.
std::vector<uint8_t> build(const container &c);

// Recomputes the checksum over bytes 56..end (after a test changed some of them on purpose).
void seal(std::vector<uint8_t> &bytes);

// Writes bytes to path; false on any failure.
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);

// Recomputes and stores the checksum of a container file in place, streaming it in 1 MiB
// pieces (for containers too large to build in memory). False on any failure.
bool reseal_file(const std::string &path);

// Reads a whole file; false on any failure.
bool read_file(const std::string &path, std::vector<uint8_t> *bytes);

} // namespace onefi_writer
