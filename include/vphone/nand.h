// vphone: the virtual phone's NAND flash chip. Used by the virtual DKB agent (vphone/agent.h),
// which programs, reads and erases it, and by tests, which inspect its contents.
//
// Physical model: block_count erase blocks of block_size main bytes, cut into pages of page_size
// main bytes, each page with oob_size spare bytes. Erased bytes read 0xFF. A page can be
// programmed once after its block was erased (programming it again is a device error); erasing
// works per block. Factory-bad blocks refuse to be erased or programmed and read as 0x00.
// A weak block takes every erase and program without complaint, but the first page programmed
// in it after an erase keeps the lowest bit of its first byte inverted: the data arrived intact
// (its CRC was right) and only reading it back shows the fault.
// With hardware ECC (ecc_size non-zero, and the program asks for it) programming a page writes an
// ECC of its main bytes into the last ecc_size bytes of its spare area; the ECC of an all-0xFF
// page is not all 0xFF, as on a real controller. A page programmed with 0xFF therefore differs
// from an erased one twice over: its spare area, and that it cannot be programmed again without
// an erase (which a NAND file system that takes 0xFF pages for free would try).
// Storage is sparse: only blocks that have been programmed since their last erase hold memory,
// so a 1 GiB NAND costs nothing until it is written. Every call is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vphone
{

struct NandGeometry {
    uint32_t manu_id = 0xEC;
    uint32_t device_id = 0xDA;
    uint32_t page_size = 2048;
    uint32_t block_size = 131072; // main bytes per erase block, a multiple of page_size
    uint32_t oob_size = 64;
    uint32_t block_count = 2048;
    uint32_t bus_width = 8;
    std::vector<uint32_t> bad_blocks; // factory-bad block numbers
    // Blocks that store one wrong bit (see above).
    std::vector<uint32_t> weak_blocks;
    // Spare bytes per page the controller's hardware ECC fills (at the end of the spare area);
    // 0: no ECC engine, the spare area holds only what the writer gives.
    uint32_t ecc_size = 0;
};

enum {
    NAND_OK = 0,
    NAND_ERR_RANGE = -1,      // block or page number beyond the chip
    NAND_ERR_BAD_BLOCK = -2,  // the block is bad
    NAND_ERR_NOT_ERASED = -3, // the page was programmed since its block's last erase
};

class Nand
{
  public:
    // Returns null when the geometry cannot describe a chip (zero sizes, block not a whole
    // number of pages).
    static std::shared_ptr<Nand> create(const NandGeometry &geometry);
    explicit Nand(const NandGeometry &geometry); // geometry must be valid; use create()

    const NandGeometry &geometry() const { return geo_; }
    uint64_t main_size() const; // block_count * block_size
    uint32_t pages_per_block() const { return geo_.block_size / geo_.page_size; }

    bool is_bad(uint32_t block) const;
    int erase_block(uint32_t block);
    // Programs one page: page_size main bytes, and oob_size spare bytes when spare is non-null
    // (otherwise the spare area stays erased); hw_ecc then writes the page's ECC over the spare
    // area's last ecc_size bytes.
    int program_page(uint32_t page, const uint8_t *main, const uint8_t *spare, bool hw_ecc = false);
    // Reads one page: page_size bytes into main, oob_size bytes into spare when non-null.
    int read_page(uint32_t page, uint8_t *main, uint8_t *spare) const;

    // The bad-block table as the agent stored it on the chip (logical bad block -> relocation
    // block); empty optional when none is stored. Survives agent restarts, as on a real chip.
    std::optional<std::map<uint32_t, uint32_t>> stored_bbt() const;
    void store_bbt(const std::map<uint32_t, uint32_t> &table);
    void clear_bbt();

    // Inspection by tests: main-area bytes at physical addresses [addr, addr + len) (clipped to
    // the chip), the spare bytes of a page, whether a page is still erased, and how many blocks
    // hold memory.
    std::vector<uint8_t> read_main(uint64_t addr, size_t len) const;
    std::vector<uint8_t> spare(uint32_t page) const;
    bool page_erased(uint32_t page) const;
    size_t blocks_in_memory() const;

  private:
    struct Block {
        std::vector<uint8_t> main, spare;
        std::vector<bool> programmed; // per page
    };
    const NandGeometry geo_;
    mutable std::mutex mu_; // guards everything below
    std::vector<bool> bad_, weak_;
    std::map<uint32_t, Block> blocks_; // only blocks programmed since their last erase
    std::optional<std::map<uint32_t, uint32_t>> bbt_;
};

} // namespace vphone
