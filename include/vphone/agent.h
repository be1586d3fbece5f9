// vphone: the virtual phone's DKB download agent, a device on the virtual USB bus (usb/vbus.h)
// that enumerates as 0x1286:0x8111. Plugged by the whole virtual phone (vphone/phone.h) once its
// boot ROM has handed over, or directly by tests; it talks to the station only through the bus.
//
// It answers the agent command protocol, parsing its input as a byte stream (a host write larger
// than 65536 bytes arrives as several bulk_out calls): RAM at ram_base with length, address,
// data and CRC commands (CRC-16/MODBUS in the low two bytes of a 4-byte reply), the ack echo,
// the NAND commands with their message streams, bad-block management, GPIO, RTC, PMIC registers
// and the resets. Faults can be injected; its state can be inspected from any thread.
//
// NAND behaviour:
// - Flash addresses in the records are logical main-area addresses. With use_bbm the agent maps
//   each logical block through its bad-block table (logical bad block -> relocation block in the
//   reserved area [reloc start, reloc end)); a logical block that is bad and unmapped fails.
// - write_flash programs `size` main bytes from nand_address (page-aligned) out of RAM (pages
//   followed by their spare bytes when write_oob is set; a short last page is padded with 0xFF).
//   A block that the write covers from its first byte is erased before it is programmed; a block
//   entered part-way must still be erased where it is programmed. nand_end_address is checked to
//   cover the data and is otherwise ignored, so a rounded-up end never erases the next range.
// - erase_flash erases every block that intersects [nand_address, nand_end_address) (erase works
//   per block), skipping bad blocks.
// - init_nand loads the table stored on the chip (error 2 when there is none); the BBM inits
//   build one by scanning every block (the nake variant also erases every good block, the used
//   variant keeps the stored mappings and the data); write_sor_bbm stores it on the chip;
//   validate fails with 7 when a mapping points outside the reserved area.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "usb/vbus.h"
#include "vphone/nand.h"

namespace vphone
{

constexpr uint16_t AGENT_VID = 0x1286;
constexpr uint16_t AGENT_PID = 0x8111;

// Command words as the agent reads them (4 bytes, little-endian).
namespace agent_cmd
{
constexpr uint32_t GET_CRC = 0xAA55FF08, ACK = 0xFF555580, SET_ADDR = 0x55AAFF08,
                   SET_LEN = 0xAAFF5502, SEND_DATA = 0xFFAA5501, GET_DATA = 0xAA55FF04,
                   RESET = 0xFFAAAA40, HARD_RESET = 0xFFAAAA80, SET_GPIO = 0xFF888880,
                   WRITE_PMIC = 0xFF778880, READ_PMIC = 0xFF668880, WRITE_RTC = 0xFF558880,
                   READ_RTC = 0xFF448880, INIT_NAND = 0xAAAA0001, INIT_BBM_NAKE = 0xAAAA0002,
                   INIT_BBM_USED = 0xAAAA0003, WRITE_FLASH = 0xAAAA0004, READ_FLASH = 0xAAAA0005,
                   ERASE_FLASH = 0xAAAA0006, WRITE_BBM = 0xAAAA0007, NAND_INFO = 0xAAAA0008,
                   BBM_RELOC_AREA = 0xAAAA0009, NAND_PARA = 0xAAAA000A, VALIDATE_BBM = 0xAAAA000B;
}

// Device error codes the agent reports in its message streams.
enum AgentError : uint32_t {
    AGENT_ERR_RECORD = 1,          // inconsistent record
    AGENT_ERR_NO_BBT = 2,          // init: no bad-block table stored on the chip
    AGENT_ERR_RANGE = 3,           // address unaligned or beyond the chip
    AGENT_ERR_RELOC_FULL = 4,      // BBM init: the reserved area has no good block left
    AGENT_ERR_PROGRAM = 5,         // programming failed (page not erased, bad block)
    AGENT_ERR_ERASE = 6,           // erasing failed
    AGENT_ERR_BBM_OUT_OF_AREA = 7, // validate: a mapping points outside the reserved area
    AGENT_ERR_RAM = 8,             // the record's RAM range lies outside the agent's RAM
};

struct AgentFaults {
    uint64_t unplug_after_bytes = 0; // leave the bus once this many host bytes arrived (0: no)
    int unplug_at_command = -1;      // leave the bus on the n-th command word (0-based)
    int silent_at_command = -1;      // from the n-th command word on, answer nothing
    int corrupt_crc_from = -1;       // CRC replies from the n-th one (0-based) on are wrong
    struct DeviceError {
        uint32_t command;   // a command with a message stream
        uint32_t code;      // reported with flash_msg_error instead of doing the work
        int occurrence = 0; // the n-th such command (1 = the first); 0 = every one
    };
    std::vector<DeviceError> device_errors;
    uint32_t unknown_word_after = 0; // stream of this command carries word 0xAABB0007
    uint32_t long_text_after = 0;    // stream of this command announces a 256-byte text
};

struct AgentOptions {
    std::shared_ptr<Nand> nand; // required
    uint32_t ram_base = 0x5C010000;
    uint32_t ram_size = 4u << 20;
    // Reserved area until the station sets one: the last 1/32 of the chip (at least 2 blocks).
    AgentFaults faults;
    uint32_t progress_every = 64; // blocks per progress message of long operations
    // Called on the host's thread right after the agent left the bus on a reset command.
    std::function<void(bool hard)> on_reset;
};

class Agent : public vbus::Device, public std::enable_shared_from_this<Agent>
{
  public:
    explicit Agent(AgentOptions options);

    void connected(vbus::Link *link) override;
    bool bulk_out(const uint8_t *data, size_t len) override;

    // The default reserved area of a chip, in blocks [first, end).
    static std::pair<uint32_t, uint32_t> default_reloc_blocks(const NandGeometry &g);
    // A table relocating every bad block outside [first, end) to the good blocks inside, in
    // order; empty optional when the area has too few good blocks.
    static std::optional<std::map<uint32_t, uint32_t>>
    build_table(const Nand &nand, uint32_t first, uint32_t end,
                const std::map<uint32_t, uint32_t> &keep = {});

    // Inspection, safe from any thread.
    std::vector<uint32_t> commands() const; // every command word received, in order
    std::map<uint32_t, uint32_t> gpio_levels() const;
    std::optional<uint32_t> gpio(uint32_t no) const;
    std::optional<std::array<uint32_t, 7>> rtc() const; // year..sec as last written
    uint8_t pmic(uint8_t addr) const;
    void set_pmic(uint8_t addr, uint8_t value);
    void set_rtc(const std::array<uint32_t, 7> &value);
    std::map<uint32_t, uint32_t> bbm_table() const;   // the working table
    std::pair<uint32_t, uint32_t> reloc_area() const; // reserved area, flash addresses
    uint32_t chip_selects() const;
    std::vector<uint8_t> ram(uint32_t addr, size_t len) const;
    bool unplugged() const;
    bool silent() const;
    const std::shared_ptr<Nand> &nand() const { return opt_.nand; }

  private:
    enum Want { WANT_COMMAND, WANT_VALUE, WANT_RECORD, WANT_DATA };
    enum class Exit { NONE, STALL, UNPLUG, RESET, HARD_RESET };

    Exit feed(const uint8_t *p, size_t n);
    Exit command(uint32_t word);
    Exit complete(); // the value, record or data block of the current command is in
    void stream_command(uint32_t word, const uint8_t *rec);
    // Checks a page-aligned NAND span of a read or write record and its staging RAM: 0 (pages
    // set, 0 for an empty span) or the device error code.
    uint32_t check_page_span(uint32_t ram, uint32_t addr, uint32_t size, bool with_oob,
                             uint64_t end_limit, uint32_t *pages) const;
    // The physical page behind a logical main-area address; false when its block is unusable.
    bool physical_page(uint64_t laddr, bool use_bbm, uint32_t *ppage) const;
    uint32_t nand_write(const uint8_t *rec);
    uint32_t nand_read(const uint8_t *rec);
    uint32_t nand_erase(const uint8_t *rec);
    uint32_t bbm_init(bool nake);
    uint32_t bbm_validate();
    bool map_block(uint32_t logical, bool use_bbm, uint32_t *physical) const;
    bool ram_range(uint32_t addr, uint64_t len) const;
    uint8_t *ram_at(uint32_t addr);
    void send(const void *p, size_t n);
    void send_u32(uint32_t v);
    void msg(uint32_t word);
    void msg(uint32_t word, uint32_t value);
    void text(const char *s);

    const AgentOptions opt_;
    mutable std::mutex mu_; // guards everything below
    vbus::Link *link_ = nullptr;
    bool unplugged_ = false, silent_ = false;
    uint64_t bytes_in_ = 0;
    // Parser: the current command and the bytes it still needs.
    Want want_ = WANT_COMMAND;
    uint32_t cmd_ = 0;
    std::vector<uint8_t> pending_;
    size_t need_ = 4;
    // RAM transfer state.
    std::vector<uint8_t> ram_; // allocated on first use
    uint32_t len_ = 0, addr_ = 0;
    uint16_t crc_ = 0xFFFF;
    int crc_replies_ = 0;
    // Board and NAND state.
    std::vector<uint32_t> log_;
    std::map<uint32_t, int> counts_; // command words seen, per word
    std::map<uint32_t, uint32_t> gpio_;
    std::optional<std::array<uint32_t, 7>> rtc_;
    std::array<uint8_t, 256> pmic_{};
    std::map<uint32_t, uint32_t> bbt_;
    uint32_t reloc_start_, reloc_end_; // flash addresses
    uint32_t chip_selects_ = 1;
};

} // namespace vphone
