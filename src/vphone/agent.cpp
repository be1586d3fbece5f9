// vphone: the virtual DKB agent (see vphone/agent.h). Runs on the host's thread inside
// bulk_out; every reply is queued on the link before bulk_out returns.
#include "vphone/agent.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/bytes.h"

namespace vphone
{

namespace
{

// Message words of the agent's message stream.
constexpr uint32_t MSG_PROGRESS = 0xAABB0001, MSG_TOTAL = 0xAABB0002, MSG_TEXT = 0xAABB0003,
                   MSG_TEXT_LENGTH = 0xAABB0004, MSG_ERROR = 0xAABB0005, MSG_DONE = 0xAABB0006,
                   MSG_UNKNOWN = 0xAABB0007;

// CRC-16/MODBUS, bit by bit: the agent's own routine, independent of the station's table.
uint16_t crc16_bitwise(const uint8_t *p, size_t n, uint16_t crc = 0xFFFF)
{
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

size_t record_size(uint32_t word)
{
    switch (word) {
    case agent_cmd::WRITE_FLASH:
        return 32;
    case agent_cmd::READ_FLASH:
        return 28;
    case agent_cmd::WRITE_RTC:
        return 28;
    case agent_cmd::ERASE_FLASH:
        return 12;
    case agent_cmd::SET_GPIO:
        return 8;
    case agent_cmd::BBM_RELOC_AREA:
        return 8;
    case agent_cmd::WRITE_PMIC:
    case agent_cmd::READ_PMIC:
    case agent_cmd::NAND_PARA:
        return 4;
    default:
        return 0;
    }
}

} // namespace

Agent::Agent(AgentOptions options) : opt_(std::move(options))
{
    const NandGeometry &g = opt_.nand->geometry();
    auto [first, end] = default_reloc_blocks(g);
    reloc_start_ = first * g.block_size;
    reloc_end_ = end * g.block_size;
}

std::pair<uint32_t, uint32_t> Agent::default_reloc_blocks(const NandGeometry &g)
{
    uint32_t n = std::max<uint32_t>(2, g.block_count / 32);
    n = std::min(n, g.block_count);
    return {g.block_count - n, g.block_count};
}

std::optional<std::map<uint32_t, uint32_t>>
Agent::build_table(const Nand &nand, uint32_t first, uint32_t end,
                   const std::map<uint32_t, uint32_t> &keep)
{
    const uint32_t count = nand.geometry().block_count;
    end = std::min(end, count);
    std::map<uint32_t, uint32_t> table;
    std::vector<bool> used(count, false);
    for (auto [from, to] : keep)
        if (to < count && !nand.is_bad(to)) {
            table[from] = to;
            used[to] = true;
        }
    uint32_t next = first;
    for (uint32_t b = 0; b < count; b++) {
        if (!nand.is_bad(b) || (b >= first && b < end) || table.count(b))
            continue;
        while (next < end && (used[next] || nand.is_bad(next)))
            next++;
        if (next >= end)
            return std::nullopt;
        table[b] = next;
        used[next] = true;
    }
    return table;
}

void Agent::connected(vbus::Link *link)
{
    std::lock_guard<std::mutex> lock(mu_);
    link_ = link;
}

bool Agent::bulk_out(const uint8_t *data, size_t len)
{
    auto keep_alive = weak_from_this().lock(); // unplugging may drop the bus's reference
    Exit e;
    vbus::Link *link;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (unplugged_ || !link_)
            return false;
        size_t n = len;
        bool cut = false;
        if (opt_.faults.unplug_after_bytes) {
            uint64_t left = opt_.faults.unplug_after_bytes -
                            std::min(bytes_in_, opt_.faults.unplug_after_bytes);
            if (n >= left) {
                n = static_cast<size_t>(left);
                cut = true;
            }
        }
        bytes_in_ += n;
        e = feed(data, n);
        if (e == Exit::NONE && cut)
            e = Exit::UNPLUG;
        if (e == Exit::UNPLUG || e == Exit::RESET || e == Exit::HARD_RESET)
            unplugged_ = true;
        link = link_;
    }
    switch (e) {
    case Exit::NONE:
        return true;
    case Exit::STALL:
        return false;
    case Exit::UNPLUG:
        link->unplug();
        return false;
    case Exit::RESET:
    case Exit::HARD_RESET:
        // The reset word itself is delivered; the agent then leaves the bus.
        link->unplug();
        if (opt_.on_reset)
            opt_.on_reset(e == Exit::HARD_RESET);
        return true;
    }
    return true;
}

// ---- Parser ------------------------------------------------------------------------------------

Agent::Exit Agent::feed(const uint8_t *p, size_t n)
{
    while (n > 0) {
        if (silent_)
            return Exit::NONE; // swallow everything, answer nothing
        size_t take = std::min(need_ - pending_.size(), n);
        pending_.insert(pending_.end(), p, p + take);
        p += take;
        n -= take;
        if (pending_.size() < need_)
            break;
        Exit e;
        if (want_ == WANT_COMMAND) {
            uint32_t word = get_le32(pending_.data());
            pending_.clear();
            e = command(word);
        } else {
            e = complete();
        }
        if (e != Exit::NONE)
            return e;
    }
    return Exit::NONE;
}

Agent::Exit Agent::command(uint32_t word)
{
    const int index = static_cast<int>(log_.size());
    log_.push_back(word);
    counts_[word]++;
    want_ = WANT_COMMAND;
    need_ = 4;
    if (index == opt_.faults.unplug_at_command)
        return Exit::UNPLUG;
    if (index == opt_.faults.silent_at_command) {
        silent_ = true;
        return Exit::NONE;
    }
    cmd_ = word;
    if (size_t rec = record_size(word)) {
        want_ = WANT_RECORD;
        need_ = rec;
        return Exit::NONE;
    }
    switch (word) {
    case agent_cmd::ACK:
        send_u32(agent_cmd::ACK);
        return Exit::NONE;
    case agent_cmd::SET_LEN:
    case agent_cmd::SET_ADDR:
        want_ = WANT_VALUE;
        return Exit::NONE;
    case agent_cmd::SEND_DATA:
        if (!ram_range(addr_, len_)) {
            silent_ = true; // the block has nowhere to go: stall and drop off the exchange
            return Exit::STALL;
        }
        crc_ = 0xFFFF;
        if (len_ > 0) {
            want_ = WANT_DATA;
            need_ = len_;
        }
        return Exit::NONE;
    case agent_cmd::GET_DATA:
        if (!ram_range(addr_, len_)) {
            silent_ = true;
            return Exit::STALL;
        }
        crc_ = crc16_bitwise(ram_at(addr_), len_);
        send(ram_at(addr_), len_);
        return Exit::NONE;
    case agent_cmd::GET_CRC: {
        uint32_t crc = crc_;
        if (opt_.faults.corrupt_crc_from >= 0 && crc_replies_ >= opt_.faults.corrupt_crc_from)
            crc ^= 0x0001;
        crc_replies_++;
        send_u32(crc);
        return Exit::NONE;
    }
    case agent_cmd::RESET:
        return Exit::RESET;
    case agent_cmd::HARD_RESET:
        return Exit::HARD_RESET;
    case agent_cmd::READ_RTC: {
        // Until set, the clock reads 2000-01-01 00:00:00, a Saturday.
        std::array<uint32_t, 7> t = rtc_ ? *rtc_ : std::array<uint32_t, 7>{100, 0, 1, 6, 0, 0, 0};
        uint8_t b[28];
        for (int i = 0; i < 7; i++)
            put_le32(b + 4 * i, t[i]);
        send(b, sizeof b);
        return Exit::NONE;
    }
    case agent_cmd::NAND_INFO: {
        const NandGeometry &g = opt_.nand->geometry();
        const uint32_t v[7] = {g.manu_id,    g.device_id, g.block_count, g.page_size,
                               g.block_size, g.oob_size,  g.bus_width};
        uint8_t b[28];
        for (int i = 0; i < 7; i++)
            put_le32(b + 4 * i, v[i]);
        send(b, sizeof b);
        return Exit::NONE;
    }
    case agent_cmd::INIT_NAND:
    case agent_cmd::INIT_BBM_NAKE:
    case agent_cmd::INIT_BBM_USED:
    case agent_cmd::WRITE_BBM:
    case agent_cmd::VALIDATE_BBM:
        stream_command(word, nullptr);
        return Exit::NONE;
    default:
        // An unknown word leaves the agent unable to follow the exchange.
        silent_ = true;
        return Exit::STALL;
    }
}

Agent::Exit Agent::complete()
{
    const Want w = want_;
    std::vector<uint8_t> in;
    in.swap(pending_);
    want_ = WANT_COMMAND;
    need_ = 4;
    const uint8_t *r = in.data();
    if (w == WANT_VALUE) {
        (cmd_ == agent_cmd::SET_LEN ? len_ : addr_) = get_le32(r);
        return Exit::NONE;
    }
    if (w == WANT_DATA) {
        memcpy(ram_at(addr_), r, in.size());
        crc_ = crc16_bitwise(r, in.size());
        return Exit::NONE;
    }
    switch (cmd_) {
    case agent_cmd::SET_GPIO:
        gpio_[get_le32(r)] = get_le32(r + 4);
        break;
    case agent_cmd::WRITE_PMIC:
        pmic_[r[0]] = r[1];
        break;
    case agent_cmd::READ_PMIC: {
        const uint8_t reply[4] = {pmic_[r[0]], 0, 0, 0};
        send(reply, sizeof reply);
        break;
    }
    case agent_cmd::WRITE_RTC: {
        std::array<uint32_t, 7> t;
        for (int i = 0; i < 7; i++)
            t[i] = get_le32(r + 4 * i);
        rtc_ = t;
        break;
    }
    case agent_cmd::BBM_RELOC_AREA:
        reloc_start_ = get_le32(r);
        reloc_end_ = get_le32(r + 4);
        break;
    case agent_cmd::NAND_PARA:
        chip_selects_ = get_le32(r);
        break;
    case agent_cmd::WRITE_FLASH:
    case agent_cmd::READ_FLASH:
    case agent_cmd::ERASE_FLASH:
        stream_command(cmd_, r);
        break;
    }
    return Exit::NONE;
}

// ---- Message streams ---------------------------------------------------------------------------

void Agent::stream_command(uint32_t word, const uint8_t *rec)
{
    const int occurrence = counts_[word];
    for (const auto &f : opt_.faults.device_errors)
        if (f.command == word && (f.occurrence == 0 || f.occurrence == occurrence)) {
            msg(MSG_ERROR, f.code);
            return;
        }
    if (opt_.faults.unknown_word_after == word) {
        send_u32(MSG_UNKNOWN);
        return;
    }
    if (opt_.faults.long_text_after == word) {
        msg(MSG_TEXT_LENGTH, 256);
        msg(MSG_TEXT);
        std::vector<uint8_t> t(256, 'x');
        send(t.data(), t.size());
        return;
    }
    uint32_t code = 0;
    switch (word) {
    case agent_cmd::INIT_NAND:
        if (auto stored = opt_.nand->stored_bbt())
            bbt_ = *stored;
        else
            code = AGENT_ERR_NO_BBT;
        break;
    case agent_cmd::INIT_BBM_NAKE:
        code = bbm_init(true);
        break;
    case agent_cmd::INIT_BBM_USED:
        code = bbm_init(false);
        break;
    case agent_cmd::WRITE_BBM:
        opt_.nand->store_bbt(bbt_);
        break;
    case agent_cmd::VALIDATE_BBM:
        code = bbm_validate();
        break;
    case agent_cmd::WRITE_FLASH:
        code = nand_write(rec);
        break;
    case agent_cmd::READ_FLASH:
        code = nand_read(rec);
        break;
    case agent_cmd::ERASE_FLASH:
        code = nand_erase(rec);
        break;
    }
    if (code)
        msg(MSG_ERROR, code);
    else
        msg(MSG_DONE);
}

// ---- NAND operations ---------------------------------------------------------------------------

bool Agent::map_block(uint32_t logical, bool use_bbm, uint32_t *physical) const
{
    uint32_t p = logical;
    if (use_bbm) {
        auto it = bbt_.find(logical);
        if (it != bbt_.end())
            p = it->second;
    }
    if (p >= opt_.nand->geometry().block_count || opt_.nand->is_bad(p))
        return false;
    *physical = p;
    return true;
}

uint32_t Agent::check_page_span(uint32_t ram, uint32_t addr, uint32_t size, bool with_oob,
                                uint64_t end_limit, uint32_t *pages) const
{
    const NandGeometry &g = opt_.nand->geometry();
    const uint32_t ps = g.page_size, oob = with_oob ? g.oob_size : 0;
    *pages = 0;
    if (addr % ps != 0)
        return AGENT_ERR_RANGE;
    if (size == 0)
        return 0;
    const uint64_t end = static_cast<uint64_t>(addr) + size;
    if (end > opt_.nand->main_size())
        return AGENT_ERR_RANGE;
    if (end_limit < end || (with_oob && size % ps != 0))
        return AGENT_ERR_RECORD;
    const uint32_t n = static_cast<uint32_t>((static_cast<uint64_t>(size) + ps - 1) / ps);
    if (!ram_range(ram, with_oob ? static_cast<uint64_t>(n) * (ps + oob) : size))
        return AGENT_ERR_RAM;
    *pages = n;
    return 0;
}

bool Agent::physical_page(uint64_t laddr, bool use_bbm, uint32_t *ppage) const
{
    const NandGeometry &g = opt_.nand->geometry();
    uint32_t pb;
    if (!map_block(static_cast<uint32_t>(laddr / g.block_size), use_bbm, &pb))
        return false;
    *ppage = pb * opt_.nand->pages_per_block() +
             static_cast<uint32_t>((laddr % g.block_size) / g.page_size);
    return true;
}

uint32_t Agent::nand_write(const uint8_t *rec)
{
    const uint32_t ram = get_le32(rec), addr = get_le32(rec + 4), end_addr = get_le32(rec + 8);
    const uint32_t size = get_le32(rec + 12), with_oob = get_le32(rec + 20);
    const bool hw_ecc = get_le32(rec + 16) != 0, use_bbm = get_le32(rec + 24) != 0;
    const NandGeometry &g = opt_.nand->geometry();
    const uint32_t ps = g.page_size, bs = g.block_size, oob = with_oob ? g.oob_size : 0;
    uint32_t pages;
    if (uint32_t code = check_page_span(ram, addr, size, with_oob, end_addr, &pages))
        return code;
    if (pages == 0)
        return 0;
    const uint64_t end = static_cast<uint64_t>(addr) + size;

    // Blocks the write covers from their first byte are erased first.
    for (uint64_t lb = addr / bs; lb * bs < end; lb++) {
        if (lb * bs < addr)
            continue;
        uint32_t pb;
        if (!map_block(static_cast<uint32_t>(lb), use_bbm, &pb))
            return AGENT_ERR_PROGRAM;
        if (opt_.nand->erase_block(pb) != NAND_OK)
            return AGENT_ERR_ERASE;
    }
    const uint8_t *src = ram_at(ram);
    std::vector<uint8_t> page(ps);
    for (uint32_t i = 0; i < pages; i++) {
        uint32_t ppage;
        if (!physical_page(static_cast<uint64_t>(addr) + static_cast<uint64_t>(i) * ps, use_bbm,
                           &ppage))
            return AGENT_ERR_PROGRAM;
        const uint8_t *main = src + static_cast<size_t>(i) * (ps + oob);
        const uint32_t have = std::min(ps, size - i * ps);
        memset(page.data(), 0xFF, ps);
        memcpy(page.data(), main, have);
        if (opt_.nand->program_page(ppage, page.data(), oob ? main + ps : nullptr, hw_ecc) !=
            NAND_OK)
            return AGENT_ERR_PROGRAM;
    }
    return 0;
}

uint32_t Agent::nand_read(const uint8_t *rec)
{
    const uint32_t ram = get_le32(rec), addr = get_le32(rec + 4), size = get_le32(rec + 8);
    const uint32_t with_oob = get_le32(rec + 16);
    const bool use_bbm = get_le32(rec + 20) != 0;
    const NandGeometry &g = opt_.nand->geometry();
    const uint32_t ps = g.page_size, oob = with_oob ? g.oob_size : 0;
    uint32_t pages;
    if (uint32_t code = check_page_span(ram, addr, size, with_oob, UINT64_MAX, &pages))
        return code;
    if (pages == 0)
        return 0;
    uint8_t *dst = ram_at(ram);
    std::vector<uint8_t> page(ps), spare(g.oob_size);
    for (uint32_t i = 0; i < pages; i++) {
        uint32_t ppage;
        if (!physical_page(static_cast<uint64_t>(addr) + static_cast<uint64_t>(i) * ps, use_bbm,
                           &ppage))
            return AGENT_ERR_PROGRAM;
        opt_.nand->read_page(ppage, page.data(), spare.data());
        uint8_t *out = dst + static_cast<size_t>(i) * (ps + oob);
        memcpy(out, page.data(), std::min(ps, size - i * ps));
        if (oob)
            memcpy(out + ps, spare.data(), oob);
    }
    return 0;
}

uint32_t Agent::nand_erase(const uint8_t *rec)
{
    const uint32_t addr = get_le32(rec), end = get_le32(rec + 4);
    const bool use_bbm = get_le32(rec + 8) != 0;
    const uint32_t bs = opt_.nand->geometry().block_size;
    if (end <= addr)
        return 0;
    if (end > opt_.nand->main_size())
        return AGENT_ERR_RANGE;
    const uint32_t first = addr / bs;
    const uint32_t last = static_cast<uint32_t>((static_cast<uint64_t>(end) + bs - 1) / bs);
    msg(MSG_TOTAL, last - first);
    for (uint32_t lb = first; lb < last; lb++) {
        uint32_t pb;
        if (map_block(lb, use_bbm, &pb) && opt_.nand->erase_block(pb) != NAND_OK)
            return AGENT_ERR_ERASE;
        if ((lb - first + 1) % opt_.progress_every == 0)
            msg(MSG_PROGRESS, lb - first + 1);
    }
    return 0;
}

uint32_t Agent::bbm_init(bool nake)
{
    const NandGeometry &g = opt_.nand->geometry();
    const uint32_t first = static_cast<uint32_t>(
        (static_cast<uint64_t>(reloc_start_) + g.block_size - 1) / g.block_size);
    const uint32_t end = std::min(reloc_end_ / g.block_size, g.block_count);
    auto table = build_table(*opt_.nand, first, end, nake ? std::map<uint32_t, uint32_t>{} : bbt_);
    if (!table)
        return AGENT_ERR_RELOC_FULL;
    msg(MSG_TOTAL, g.block_count);
    for (uint32_t b = 0; b < g.block_count; b++) {
        if (nake && !opt_.nand->is_bad(b))
            opt_.nand->erase_block(b);
        if ((b + 1) % opt_.progress_every == 0 || b + 1 == g.block_count)
            msg(MSG_PROGRESS, b + 1);
    }
    bbt_ = *table;
    char line[64];
    snprintf(line, sizeof line, "\nBBM: %zu bad blocks relocated\n", bbt_.size());
    text(line);
    return 0;
}

uint32_t Agent::bbm_validate()
{
    const uint32_t bs = opt_.nand->geometry().block_size;
    for (auto [from, to] : bbt_) {
        const uint64_t at = static_cast<uint64_t>(to) * bs;
        if (at < reloc_start_ || at + bs > reloc_end_)
            return AGENT_ERR_BBM_OUT_OF_AREA;
    }
    return 0;
}

// ---- RAM and replies ---------------------------------------------------------------------------

bool Agent::ram_range(uint32_t addr, uint64_t len) const
{
    return addr >= opt_.ram_base &&
           static_cast<uint64_t>(addr - opt_.ram_base) + len <= opt_.ram_size;
}

uint8_t *Agent::ram_at(uint32_t addr)
{
    if (ram_.empty())
        ram_.assign(opt_.ram_size, 0);
    return ram_.data() + (addr - opt_.ram_base);
}

void Agent::send(const void *p, size_t n)
{
    if (link_ && n)
        link_->send(static_cast<const uint8_t *>(p), n);
}

void Agent::send_u32(uint32_t v)
{
    uint8_t b[4];
    put_le32(b, v);
    send(b, 4);
}

void Agent::msg(uint32_t word)
{
    send_u32(word);
}

void Agent::msg(uint32_t word, uint32_t value)
{
    send_u32(word);
    send_u32(value);
}

void Agent::text(const char *s)
{
    const uint32_t n = static_cast<uint32_t>(strlen(s));
    msg(MSG_TEXT_LENGTH, n);
    msg(MSG_TEXT);
    send(s, n);
}

// ---- Inspection --------------------------------------------------------------------------------

std::vector<uint32_t> Agent::commands() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

std::map<uint32_t, uint32_t> Agent::gpio_levels() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return gpio_;
}

std::optional<uint32_t> Agent::gpio(uint32_t no) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = gpio_.find(no);
    if (it == gpio_.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::array<uint32_t, 7>> Agent::rtc() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return rtc_;
}

uint8_t Agent::pmic(uint8_t addr) const
{
    std::lock_guard<std::mutex> lock(mu_);
    return pmic_[addr];
}

void Agent::set_pmic(uint8_t addr, uint8_t value)
{
    std::lock_guard<std::mutex> lock(mu_);
    pmic_[addr] = value;
}

void Agent::set_rtc(const std::array<uint32_t, 7> &value)
{
    std::lock_guard<std::mutex> lock(mu_);
    rtc_ = value;
}

std::map<uint32_t, uint32_t> Agent::bbm_table() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return bbt_;
}

std::pair<uint32_t, uint32_t> Agent::reloc_area() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return {reloc_start_, reloc_end_};
}

uint32_t Agent::chip_selects() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return chip_selects_;
}

std::vector<uint8_t> Agent::ram(uint32_t addr, size_t len) const
{
    std::lock_guard<std::mutex> lock(mu_);
    if (!ram_range(addr, len))
        return {};
    if (ram_.empty())
        return std::vector<uint8_t>(len, 0);
    const uint8_t *p = ram_.data() + (addr - opt_.ram_base);
    return std::vector<uint8_t>(p, p + len);
}

bool Agent::unplugged() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return unplugged_;
}

bool Agent::silent() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return silent_;
}

} // namespace vphone
