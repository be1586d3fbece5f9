// vphone: the virtual phone's boot ROM on the virtual USB bus. Plugged in by the whole virtual
// phone, by --simulate and by tests; the station reaches it only through the bus.
//
// Written from the ROM's side of the download protocol: it owns the image-by-image state (greeted,
// selected, verified, receiving), cuts each image as its grant policy says, refuses what a ROM
// would refuse with a non-zero status, and after a good TIM + DKB and the host's disconnect
// leaves the bus and hands the DKB image to the agent after a re-enumeration delay.
#include "vphone/bootrom.h"

#include <algorithm>
#include <cstring>

#include "util/bytes.h"

namespace vphone
{
namespace
{

const uint8_t kPreamble[4] = {0x00, 0xD3, 0x02, 0x2B};

// Command ids, frame sizes and the ROM's status codes, as the ROM knows them.
enum : uint8_t {
    GET_VERSION = 0x20,
    DATA = 0x22,
    SELECT_IMAGE = 0x26,
    VERIFY_IMAGE = 0x27,
    DATA_HEADER = 0x2A,
    GET_MESSAGE = 0x2B,
    DONE = 0x30,
    DISCONNECT = 0x31,
};
enum : uint8_t {
    ST_OK = 0x00,
    ST_INVALID_TIM = 0x6A,
    ST_DOWNLOAD_ERROR = 0x91,
    ST_IMAGE_TOO_BIG = 0x94,
    ST_PREAMBLE_ERROR = 0x95,
    ST_UNKNOWN_IMAGE = 0x98,
    ST_UNKNOWN_CMD = 0x9B,
};
constexpr size_t kHead = 8;
constexpr uint32_t kMaxFrameData = 16u << 20; // more than any image this ROM could hold
constexpr uint32_t kMaxTim = 4096;

constexpr uint32_t ID_TIM = 0x54494D48, ID_DKB = 0x444B4249, ID_NONE = 0xFFFFFFFF;

// Answer data lengths, so a refused command still answers with the frame size the host reads.
size_t answer_size(uint8_t cmd)
{
    switch (cmd) {
    case GET_VERSION:
        return 12;
    case SELECT_IMAGE:
    case DATA_HEADER:
        return 4;
    case GET_MESSAGE:
        return 255;
    default:
        return 0;
    }
}

} // namespace

Bootrom::Bootrom(BootromOptions options)
    : opt_(std::move(options)), rng_(opt_.grant.seed ? opt_.grant.seed : 1)
{
}

void Bootrom::connected(vbus::Link *link)
{
    std::lock_guard lk(mu_);
    link_ = link;
}

bool Bootrom::bulk_out(const uint8_t *data, size_t len)
{
    std::lock_guard lk(mu_);
    if (unplugged_)
        return false;
    in_.insert(in_.end(), data, data + len);

    // The host's requests need not match frames: parse whatever is complete.
    size_t pos = 0;
    bool ok = true;
    while (ok && !unplugged_ && pos < in_.size()) {
        const uint8_t *p = in_.data() + pos;
        size_t avail = in_.size() - pos;
        if (p[0] == 0x00) { // no command has id 0: the preamble
            if (avail < sizeof(kPreamble))
                break;
            ok = handle_preamble(p);
            pos += sizeof(kPreamble);
            continue;
        }
        if (avail < kHead)
            break;
        uint32_t dlen = get_le32(p + 4);
        if (dlen > kMaxFrameData) {
            // Garbage: nothing after it can be framed. Drop it and refuse the request.
            log_.push_back({p[0], p[1], dlen, false, 0});
            pos = in_.size();
            ok = false;
            break;
        }
        if (avail < kHead + dlen)
            break;
        ok = handle_frame(p[0], p[1], p + kHead, dlen);
        pos += kHead + dlen;
    }
    if (unplugged_)
        in_.clear();
    else
        in_.erase(in_.begin(), in_.begin() + static_cast<ptrdiff_t>(pos));
    return ok;
}

const BootromFault *Bootrom::fault(BootromFault::Kind kind, uint8_t cmd, int occurrence) const
{
    for (const BootromFault &f : opt_.faults)
        if (f.kind == kind && f.cmd == cmd && f.occurrence == occurrence)
            return &f;
    return nullptr;
}

bool Bootrom::handle_preamble(const uint8_t *p)
{
    int occ = ++counts_[BOOTROM_PREAMBLE];
    log_.push_back({BOOTROM_PREAMBLE, 0, 0, false, 0});
    if (fault(BootromFault::STALL, BOOTROM_PREAMBLE, occ))
        return false;
    if (fault(BootromFault::SILENT, BOOTROM_PREAMBLE, occ) || memcmp(p, kPreamble, 4) != 0)
        return true; // a ROM ignores what it cannot take for a greeting

    uint8_t echo[4];
    memcpy(echo, kPreamble, 4);
    if (fault(BootromFault::BAD_PREAMBLE_ECHO, BOOTROM_PREAMBLE, occ)) {
        echo[3] = 0x2C;
    } else {
        // A greeting starts the current image over.
        greeted_ = true;
        selected_ = verified_ = announced_ = grant_open_ = false;
    }
    link_->send(echo, 4);
    log_.back().answered = true;
    return true;
}

bool Bootrom::handle_frame(uint8_t cmd, uint8_t seq, const uint8_t *data, uint32_t len)
{
    int occ = ++counts_[cmd];
    log_.push_back({cmd, seq, len, false, 0});
    if (fault(BootromFault::STALL, cmd, occ))
        return false;
    if (fault(BootromFault::SILENT, cmd, occ))
        return true;

    std::vector<uint8_t> reply;
    uint8_t status;
    if (const BootromFault *f = fault(BootromFault::STATUS, cmd, occ)) {
        status = f->status; // refused: the command has no effect
        reply.assign(answer_size(cmd), 0);
    } else {
        status = process(cmd, seq, data, len, &reply);
    }
    // The disconnect and a data command that made the ROM leave get no answer.
    if (cmd == DISCONNECT || unplugged_)
        return true;
    answer(cmd, status, reply, occ);
    return true;
}

void Bootrom::answer(uint8_t cmd, uint8_t status, const std::vector<uint8_t> &data, int occurrence)
{
    std::vector<uint8_t> frame = {cmd, 0, 0, status, 0, static_cast<uint8_t>(data.size())};
    if (fault(BootromFault::WRONG_CMD, cmd, occurrence))
        frame[0] = static_cast<uint8_t>(cmd + 1);
    if (fault(BootromFault::WRONG_LEN, cmd, occurrence))
        frame[5] = static_cast<uint8_t>(frame[5] + 1);
    frame.insert(frame.end(), data.begin(), data.end());
    link_->send(frame.data(), frame.size());
    log_.back().answered = true;
    log_.back().status = status;
}

// Runs one command; returns the status and fills *reply with the answer data. A refused command
// answers with zeroed data of the usual size, so the host reads a whole frame and sees the status.
uint8_t Bootrom::process(uint8_t cmd, uint8_t seq, const uint8_t *data, uint32_t len,
                         std::vector<uint8_t> *reply)
{
    reply->assign(answer_size(cmd), 0);
    if (cmd == DISCONNECT) {
        if (stage_ == BOOTED && !handed_over_) {
            handed_over_ = true;
            leave_bus();
            auto start = opt_.on_agent_start;
            if (start)
                vbus::after(opt_.reenumerate_delay_ms, [start, image = dkb_] { start(image); });
        }
        return ST_OK;
    }
    if (!greeted_)
        return ST_PREAMBLE_ERROR;
    bool in_transfer = cmd == DATA_HEADER || cmd == DATA;
    if (!in_transfer && seq != 0)
        return ST_UNKNOWN_CMD;
    std::vector<uint8_t> &image = stage_ == WANT_TIM ? tim_ : dkb_;

    switch (cmd) {
    case GET_VERSION: {
        if (len != 0)
            return ST_UNKNOWN_CMD;
        // Words go out least significant byte first; the host shows them the other way round.
        std::string version = (opt_.version + "    ").substr(0, 4);
        std::string processor = (opt_.processor + "   ").substr(0, 3);
        uint8_t *d = reply->data();
        for (int i = 0; i < 4; i++)
            d[i] = static_cast<uint8_t>(version[3 - i]);
        put_le32(d + 4, opt_.date);
        d[8] = opt_.processor_number;
        for (int i = 0; i < 3; i++)
            d[11 - i] = static_cast<uint8_t>(processor[i]);
        return ST_OK;
    }
    case SELECT_IMAGE: {
        if (len != 0)
            return ST_UNKNOWN_CMD;
        if (stage_ == BOOTED)
            return ST_UNKNOWN_IMAGE;
        uint32_t id = stage_ == WANT_TIM ? ID_TIM : ID_DKB;
        if (const BootromFault *f = fault(BootromFault::UNEXPECTED_IMAGE, cmd, counts_[cmd]))
            id = f->image_id;
        put_le32(reply->data(), id);
        selected_ = true;
        verified_ = announced_ = grant_open_ = false;
        return ST_OK;
    }
    case VERIFY_IMAGE:
        if (len != 1 || data[0] != 0)
            return ST_UNKNOWN_CMD;
        if (!selected_)
            return ST_DOWNLOAD_ERROR;
        verified_ = true;
        announced_ = grant_open_ = false;
        next_seq_ = 1;
        header_index_ = 0;
        image.clear();
        return ST_OK;
    case DATA_HEADER: {
        if (!verified_ || len != 4 || seq != next_seq_ || grant_open_)
            return ST_DOWNLOAD_ERROR;
        uint32_t announced = get_le32(data);
        if (!announced_) {
            // The first header gives the image's length: a TIM must fit, a DKB image must be
            // exactly what the accepted TIM says.
            if (stage_ == WANT_TIM && announced > kMaxTim)
                return ST_IMAGE_TOO_BIG;
            if (stage_ == WANT_DKB && announced != dkb_expected_)
                return ST_DOWNLOAD_ERROR;
            remaining_ = announced;
            announced_ = true;
        } else if (announced != remaining_) {
            return ST_DOWNLOAD_ERROR;
        }
        uint32_t grant = next_grant(remaining_);
        if (fault(BootromFault::GRANT_TOO_LARGE, cmd, counts_[cmd]))
            grant = remaining_ + 1;
        header_index_++;
        granted_ = grant;
        grant_open_ = true;
        grants_.push_back(grant);
        put_le32(reply->data(), grant);
        return ST_OK;
    }
    case DATA: {
        if (!grant_open_ || seq != static_cast<uint8_t>(next_seq_ + 1) || len != granted_ ||
            len > remaining_)
            return ST_DOWNLOAD_ERROR;
        grant_open_ = false;
        next_seq_ = static_cast<uint8_t>(next_seq_ + 2);
        for (const BootromFault &f : opt_.faults) {
            if (f.kind == BootromFault::UNPLUG_AFTER_BYTES && image_bytes_ + len >= f.bytes) {
                // The cable is pulled while this chunk is on the wire.
                size_t keep =
                    f.bytes > image_bytes_ ? static_cast<size_t>(f.bytes - image_bytes_) : 0;
                image.insert(image.end(), data, data + keep);
                image_bytes_ += keep;
                leave_bus();
                return ST_OK;
            }
        }
        image.insert(image.end(), data, data + len);
        image_bytes_ += len;
        remaining_ -= len;
        return ST_OK;
    }
    case DONE:
        if (len != 0 || !verified_ || !announced_ || grant_open_ || remaining_ != 0)
            return ST_DOWNLOAD_ERROR;
        selected_ = verified_ = announced_ = false;
        if (stage_ == WANT_TIM) {
            if (!check_tim(tim_))
                return ST_INVALID_TIM; // the host may send another TIM
            tim_ok_ = true;
            stage_ = WANT_DKB;
        } else {
            dkb_ok_ = true;
            stage_ = BOOTED;
        }
        greeted_ = false; // the host greets again before the next image
        return ST_OK;
    case GET_MESSAGE: {
        static const char text[] = "vphone boot rom";
        memcpy(reply->data(), text, sizeof(text));
        return ST_OK;
    }
    default:
        reply->clear();
        return ST_UNKNOWN_CMD;
    }
}

uint32_t Bootrom::next_grant(uint32_t remaining)
{
    const GrantPolicy &g = opt_.grant;
    switch (g.kind) {
    case GrantPolicy::WHOLE:
        return remaining;
    case GrantPolicy::FIXED:
        return std::min(g.fixed, remaining);
    case GrantPolicy::LIST:
        return header_index_ < g.list.size() ? g.list[header_index_] : remaining;
    case GrantPolicy::RANDOM: {
        // xorshift32: the same seed gives the same cuts on every run.
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        uint32_t max = g.random_max ? g.random_max : 1;
        return std::min(1 + rng_ % max, remaining);
    }
    }
    return remaining;
}

// The TIM this ROM boots from: its own record first, then the DKB image's, at the fixed load
// addresses. Anything else is refused.
bool Bootrom::check_tim(const std::vector<uint8_t> &t)
{
    constexpr size_t kTim = 56, kRec = 60;
    if (t.size() < kTim + 2 * kRec)
        return false;
    const uint8_t *p = t.data();
    if (get_le32(p + 4) != ID_TIM || get_le32(p + 44) != 2)
        return false;
    const uint8_t *self = p + kTim, *dkb = p + kTim + kRec;
    if (get_le32(self + 0) != ID_TIM || get_le32(self + 4) != ID_DKB ||
        get_le32(self + 12) != 0x5C008000 || get_le32(self + 16) != t.size())
        return false;
    if (get_le32(dkb + 0) != ID_DKB || get_le32(dkb + 4) != ID_NONE ||
        get_le32(dkb + 12) != 0x5C013000)
        return false;
    dkb_expected_ = get_le32(dkb + 16);
    return true;
}

void Bootrom::leave_bus()
{
    unplugged_ = true;
    if (link_)
        link_->unplug();
    link_ = nullptr; // not valid once off the bus
}

std::vector<uint8_t> Bootrom::tim() const
{
    std::lock_guard lk(mu_);
    return tim_;
}

std::vector<uint8_t> Bootrom::dkb() const
{
    std::lock_guard lk(mu_);
    return dkb_;
}

std::vector<uint32_t> Bootrom::grants() const
{
    std::lock_guard lk(mu_);
    return grants_;
}

std::vector<BootromLogEntry> Bootrom::log() const
{
    std::lock_guard lk(mu_);
    return log_;
}

bool Bootrom::tim_accepted() const
{
    std::lock_guard lk(mu_);
    return tim_ok_;
}

bool Bootrom::dkb_accepted() const
{
    std::lock_guard lk(mu_);
    return dkb_ok_;
}

bool Bootrom::handed_over() const
{
    std::lock_guard lk(mu_);
    return handed_over_;
}

bool Bootrom::unplugged() const
{
    std::lock_guard lk(mu_);
    return unplugged_;
}

} // namespace vphone
