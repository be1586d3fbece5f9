// Tests of the dkb layer: a recording fake of the transport. It defines usb_bulk_write and
// usb_bulk_read itself, so the protocol library is linked without any real backend.
//
// Writes are recorded one call at a time. Reads are served from a byte queue the test (or the
// responder, which sees every write) fills; a read for more bytes than are queued fails like a
// time-out (-5) after consuming nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "usb/usb.h"

namespace fake_usb
{

struct Write {
    std::vector<uint8_t> bytes;
    int timeout;
};

struct State {
    std::vector<Write> writes;
    std::deque<uint8_t> in; // bytes the device will send
    std::vector<int> read_timeouts;
    int fail_write_at = -1;   // index of the write call that fails with -1
    int fail_read_result = 0; // non-zero: every read returns this
    int reads = 0;
    // Sees each successful write; may queue a reply.
    std::function<void(const std::vector<uint8_t> &)> responder;
};

State &state();
void reset();
usb_dev_handle *dev(); // a dummy handle; the fake never dereferences it

void push(const std::vector<uint8_t> &bytes);
void push_u32(uint32_t v);

// All bytes written, concatenated.
std::vector<uint8_t> written();

// A responder that plays a minimal agent: echoes acks, answers CRC requests with the CRC of the
// last data block (plus crc_offset), ends every flash command's message stream with done, and
// answers get_data with length bytes of the pattern byte.
void install_agent(uint32_t crc_offset = 0);

} // namespace fake_usb
