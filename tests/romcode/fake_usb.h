// tests/romcode: a recording fake transport. It defines usb_bulk_write/usb_bulk_read itself, so
// the romcode layer is tested on its exact bytes on the wire without any USB backend.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

struct FakeTransfer {
    std::vector<uint8_t> bytes; // written bytes, or the read request's size in bytes.size()
    int ep;
    int size;
    int timeout;
};

struct FakeUsb {
    std::vector<FakeTransfer> writes;
    std::vector<FakeTransfer> reads;
    std::deque<std::vector<uint8_t>> pending; // answers the host can read, one per transfer
    // Called with every written request; queues answers with answer()/raw().
    std::function<void(const std::vector<uint8_t> &)> responder;
    int fail_write_index = -1; // this write (0-based) returns -1

    void answer(uint8_t cmd, uint8_t status, std::vector<uint8_t> data, int len_field = -1);
    void raw(std::vector<uint8_t> bytes) { pending.push_back(std::move(bytes)); }
    // Writes whose first byte is cmd (frames only; the preamble starts with 0x00).
    std::vector<std::vector<uint8_t>> frames(uint8_t cmd) const;
};

extern FakeUsb g_usb;

// A well-behaved ROM on g_usb: echoes the preamble, answers the version with the bytes
// 31 30 32 33 78 56 34 12 07 5A 59 58, asks for select_ids in turn, grants the whole rest,
// acknowledges everything else and never answers a disconnect. `hook` sees each request first
// and returns true when it has answered it itself.
void fake_rom(std::vector<uint32_t> select_ids,
              std::function<bool(const std::vector<uint8_t> &)> hook = nullptr);
