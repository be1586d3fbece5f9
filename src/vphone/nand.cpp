// vphone: the NAND flash model behind the virtual DKB agent (see vphone/nand.h).
#include "vphone/nand.h"

#include <algorithm>
#include <cstring>

namespace vphone
{

std::shared_ptr<Nand> Nand::create(const NandGeometry &g)
{
    if (g.page_size == 0 || g.block_size == 0 || g.block_count == 0 ||
        g.block_size % g.page_size != 0)
        return nullptr;
    if (g.ecc_size > g.oob_size)
        return nullptr;
    return std::make_shared<Nand>(g);
}

Nand::Nand(const NandGeometry &geometry)
    : geo_(geometry), bad_(geometry.block_count, false), weak_(geometry.block_count, false)
{
    for (uint32_t b : geo_.bad_blocks)
        if (b < geo_.block_count)
            bad_[b] = true;
    for (uint32_t b : geo_.weak_blocks)
        if (b < geo_.block_count)
            weak_[b] = true;
}

uint64_t Nand::main_size() const
{
    return static_cast<uint64_t>(geo_.block_count) * geo_.block_size;
}

bool Nand::is_bad(uint32_t block) const
{
    return block < geo_.block_count && bad_[block];
}

int Nand::erase_block(uint32_t block)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (block >= geo_.block_count)
        return NAND_ERR_RANGE;
    if (bad_[block])
        return NAND_ERR_BAD_BLOCK;
    blocks_.erase(block); // an erased block holds no memory
    return NAND_OK;
}

namespace
{

// A stand-in for the controller's ECC: lane k folds main bytes k, k + ecc_size, ... by XOR and is
// stored inverted against 0x5A, so an all-0xFF page (lanes 0x00 or 0xFF) never gets a blank ECC.
void fill_ecc(const uint8_t *main, uint32_t page_size, uint8_t *ecc, uint32_t ecc_size)
{
    memset(ecc, 0, ecc_size);
    for (uint32_t i = 0; i < page_size; i++)
        ecc[i % ecc_size] ^= main[i];
    for (uint32_t k = 0; k < ecc_size; k++)
        ecc[k] ^= 0x5A;
}

} // namespace

int Nand::program_page(uint32_t page, const uint8_t *main, const uint8_t *spare, bool hw_ecc)
{
    std::lock_guard<std::mutex> lock(mu_);
    const uint32_t ppb = pages_per_block();
    const uint32_t block = page / ppb, index = page % ppb;
    if (block >= geo_.block_count)
        return NAND_ERR_RANGE;
    if (bad_[block])
        return NAND_ERR_BAD_BLOCK;
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        Block b;
        b.main.assign(geo_.block_size, 0xFF);
        b.spare.assign(static_cast<size_t>(geo_.oob_size) * ppb, 0xFF);
        b.programmed.assign(ppb, false);
        it = blocks_.emplace(block, std::move(b)).first;
    }
    Block &b = it->second;
    if (b.programmed[index])
        return NAND_ERR_NOT_ERASED;
    const bool first_since_erase =
        std::find(b.programmed.begin(), b.programmed.end(), true) == b.programmed.end();
    b.programmed[index] = true;
    uint8_t *stored = b.main.data() + static_cast<size_t>(index) * geo_.page_size;
    memcpy(stored, main, geo_.page_size);
    if (weak_[block] && first_since_erase)
        stored[0] ^= 0x01;
    uint8_t *stored_spare = b.spare.data() + static_cast<size_t>(index) * geo_.oob_size;
    if (spare && geo_.oob_size)
        memcpy(stored_spare, spare, geo_.oob_size);
    // The ECC covers the data as it arrived (before a weak cell loses its bit).
    if (hw_ecc && geo_.ecc_size)
        fill_ecc(main, geo_.page_size, stored_spare + geo_.oob_size - geo_.ecc_size, geo_.ecc_size);
    return NAND_OK;
}

int Nand::read_page(uint32_t page, uint8_t *main, uint8_t *spare) const
{
    std::lock_guard<std::mutex> lock(mu_);
    const uint32_t ppb = pages_per_block();
    const uint32_t block = page / ppb, index = page % ppb;
    if (block >= geo_.block_count)
        return NAND_ERR_RANGE;
    const uint8_t fill = bad_[block] ? 0x00 : 0xFF;
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        memset(main, fill, geo_.page_size);
        if (spare)
            memset(spare, fill, geo_.oob_size);
        return NAND_OK;
    }
    const Block &b = it->second;
    memcpy(main, b.main.data() + static_cast<size_t>(index) * geo_.page_size, geo_.page_size);
    if (spare)
        memcpy(spare, b.spare.data() + static_cast<size_t>(index) * geo_.oob_size, geo_.oob_size);
    return NAND_OK;
}

std::optional<std::map<uint32_t, uint32_t>> Nand::stored_bbt() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return bbt_;
}

void Nand::store_bbt(const std::map<uint32_t, uint32_t> &table)
{
    std::lock_guard<std::mutex> lock(mu_);
    bbt_ = table;
}

void Nand::clear_bbt()
{
    std::lock_guard<std::mutex> lock(mu_);
    bbt_.reset();
}

std::vector<uint8_t> Nand::read_main(uint64_t addr, size_t len) const
{
    std::vector<uint8_t> out;
    const uint64_t end = std::min<uint64_t>(addr + len, main_size());
    if (addr >= end)
        return out;
    out.reserve(static_cast<size_t>(end - addr));
    std::vector<uint8_t> page(geo_.page_size);
    while (addr < end) {
        const uint32_t p = static_cast<uint32_t>(addr / geo_.page_size);
        const uint32_t off = static_cast<uint32_t>(addr % geo_.page_size);
        read_page(p, page.data(), nullptr);
        const uint64_t take = std::min<uint64_t>(geo_.page_size - off, end - addr);
        out.insert(out.end(), page.begin() + off, page.begin() + off + take);
        addr += take;
    }
    return out;
}

std::vector<uint8_t> Nand::spare(uint32_t page) const
{
    std::vector<uint8_t> main(geo_.page_size), sp(geo_.oob_size);
    if (read_page(page, main.data(), sp.data()) != NAND_OK)
        return {};
    return sp;
}

bool Nand::page_erased(uint32_t page) const
{
    std::lock_guard<std::mutex> lock(mu_);
    const uint32_t ppb = pages_per_block();
    auto it = blocks_.find(page / ppb);
    return it == blocks_.end() || !it->second.programmed[page % ppb];
}

size_t Nand::blocks_in_memory() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return blocks_.size();
}

} // namespace vphone
