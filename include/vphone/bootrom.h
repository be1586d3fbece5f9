// vphone: the virtual phone's boot ROM, a device on the virtual USB bus (usb/vbus.h). Plugged in
// by the whole virtual phone (vphone/phone.h), by --simulate and by tests; it talks to the
// station only through the bus.
//
// It speaks the ROM side of the boot ROM download protocol: preamble echo, get version, select
// image (the TIM first, then the DKB image), verify image, data header/data pairs with grants
// chosen by a policy, done, disconnect. Input is parsed as a byte stream (host writes arrive in
// requests of at most 65536 bytes). It checks sequence numbers, the TIM (the default 176-byte
// layout) and that the DKB image is as long as the TIM says. After a good TIM and DKB and the
// host's disconnect it leaves the bus and, after a re-enumeration delay, hands the DKB image to
// on_agent_start. Faults can be injected; its state can be inspected.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/vbus.h"

namespace vphone
{

// How the ROM cuts an image: the size it grants after each data header.
struct GrantPolicy {
    enum Kind {
        WHOLE,  // everything that remains at once
        FIXED,  // min(fixed, remaining)
        LIST,   // list[i] for the i-th header of each image, unclamped (may exceed what
                // remains, or be 0); once the list is used up, what remains
        RANDOM, // min(a pseudo-random size in [1, random_max], remaining), from seed
    };
    Kind kind = WHOLE;
    uint32_t fixed = 512;
    std::vector<uint32_t> list;
    uint32_t seed = 1;
    uint32_t random_max = 4096;

    static GrantPolicy whole() { return {}; }
    static GrantPolicy fixed_size(uint32_t n)
    {
        GrantPolicy g;
        g.kind = FIXED;
        g.fixed = n;
        return g;
    }
    static GrantPolicy listed(std::vector<uint32_t> sizes)
    {
        GrantPolicy g;
        g.kind = LIST;
        g.list = std::move(sizes);
        return g;
    }
    static GrantPolicy random(uint32_t seed, uint32_t max)
    {
        GrantPolicy g;
        g.kind = RANDOM;
        g.seed = seed;
        g.random_max = max;
        return g;
    }
};

// The preamble has no command id; faults and log entries name it with this value.
constexpr uint8_t BOOTROM_PREAMBLE = 0x00;

struct BootromFault {
    enum Kind {
        NONE,
        BAD_PREAMBLE_ECHO,  // echo 00 D3 02 2C instead of the preamble
        SILENT,             // no answer at all to that command
        STALL,              // fail the host's write of that command (host sees -1)
        STATUS,             // answer with status (data zeroed)
        WRONG_CMD,          // answer with the command id plus one
        WRONG_LEN,          // answer with the length field plus one (same bytes on the wire)
        GRANT_TOO_LARGE,    // at that data header, grant one byte more than remains
        UNEXPECTED_IMAGE,   // at that select image, ask for image_id
        UNPLUG_AFTER_BYTES, // leave the bus, unanswered, at the data command that brings the
                            // image bytes received (TIM + DKB) to `bytes` or more; what lies
                            // beyond `bytes` is dropped (cmd and occurrence are not used)
    };
    Kind kind = NONE;
    uint8_t cmd = 0;       // the command it fires at (BOOTROM_PREAMBLE for the preamble)
    int occurrence = 1;    // at the n-th such command (1 = the first)
    uint8_t status = 0x02; // for STATUS (GeneralError)
    uint32_t image_id = 0; // for UNEXPECTED_IMAGE
    uint64_t bytes = 0;    // for UNPLUG_AFTER_BYTES
};

struct BootromOptions {
    std::string version = "3201"; // 4 characters as the host prints them
    uint32_t date = 0x20070221;
    std::string processor = "SRL"; // 3 characters as the host prints them
    uint8_t processor_number = 0x07;
    GrantPolicy grant;
    std::vector<BootromFault> faults;
    int reenumerate_delay_ms = 50;
    // Called on the bus's timer thread, once, with the DKB image received. The phone plugs its
    // DKB agent from here.
    std::function<void(const std::vector<uint8_t> &dkb)> on_agent_start;
};

// One command as the ROM received it.
struct BootromLogEntry {
    uint8_t cmd; // command id, or BOOTROM_PREAMBLE
    uint8_t seq;
    uint32_t len;   // data bytes of the frame
    bool answered;  // false when it got no answer (disconnect, silence, stall, unplug)
    uint8_t status; // status answered (0 = success)
};

class Bootrom : public vbus::Device
{
  public:
    explicit Bootrom(BootromOptions options = {});

    void connected(vbus::Link *link) override;
    bool bulk_out(const uint8_t *data, size_t len) override;

    // Inspection, safe from any thread.
    std::vector<uint8_t> tim() const;     // TIM bytes received so far
    std::vector<uint8_t> dkb() const;     // DKB bytes received so far
    std::vector<uint32_t> grants() const; // every grant answered, in order
    std::vector<BootromLogEntry> log() const;
    bool tim_accepted() const;
    bool dkb_accepted() const;
    bool handed_over() const; // left the bus to start the agent
    bool unplugged() const;   // left the bus (handover or fault)

  private:
    enum Stage { WANT_TIM, WANT_DKB, BOOTED };

    bool handle_preamble(const uint8_t *p);
    bool handle_frame(uint8_t cmd, uint8_t seq, const uint8_t *data, uint32_t len);
    uint8_t process(uint8_t cmd, uint8_t seq, const uint8_t *data, uint32_t len,
                    std::vector<uint8_t> *reply);
    const BootromFault *fault(BootromFault::Kind kind, uint8_t cmd, int occurrence) const;
    void answer(uint8_t cmd, uint8_t status, const std::vector<uint8_t> &data, int occurrence);
    uint32_t next_grant(uint32_t remaining);
    bool check_tim(const std::vector<uint8_t> &tim);
    void leave_bus();

    const BootromOptions opt_;
    mutable std::mutex mu_; // guards everything below
    vbus::Link *link_ = nullptr;
    std::vector<uint8_t> in_; // bytes received, not yet parsed
    int counts_[256] = {};    // commands received, per id
    bool greeted_ = false;
    Stage stage_ = WANT_TIM;
    bool selected_ = false;
    bool verified_ = false;
    bool announced_ = false;  // first data header of the image seen
    uint32_t remaining_ = 0;  // image bytes still expected
    uint32_t granted_ = 0;    // bytes granted to the next data command
    bool grant_open_ = false; // a data command may follow
    uint8_t next_seq_ = 1;    // sequence of the next data header
    size_t header_index_ = 0; // data headers of this image so far (LIST policy)
    uint32_t rng_;
    uint32_t dkb_expected_ = 0; // from the accepted TIM
    uint64_t image_bytes_ = 0;  // TIM + DKB bytes received, for UNPLUG_AFTER_BYTES
    std::vector<uint8_t> tim_, dkb_;
    std::vector<uint32_t> grants_;
    std::vector<BootromLogEntry> log_;
    bool tim_ok_ = false, dkb_ok_ = false, handed_over_ = false, unplugged_ = false;
};

} // namespace vphone
