// Tests of the dkb layer: the recording fake transport (see fake_usb.h).
#include "fake_usb.h"

#include <cstring>
#include <memory>

#include "dkb/libdkb.h"
#include "util/bytes.h"
#include "util/crc16.h"

namespace fake_usb
{

State &state()
{
    static State s;
    return s;
}

void reset()
{
    state() = State{};
}

usb_dev_handle *dev()
{
    static int token;
    return reinterpret_cast<usb_dev_handle *>(&token);
}

void push(const std::vector<uint8_t> &bytes)
{
    state().in.insert(state().in.end(), bytes.begin(), bytes.end());
}

void push_u32(uint32_t v)
{
    uint8_t b[4];
    put_le32(b, v);
    push({b, b + 4});
}

std::vector<uint8_t> written()
{
    std::vector<uint8_t> all;
    for (const Write &w : state().writes)
        all.insert(all.end(), w.bytes.begin(), w.bytes.end());
    return all;
}

void install_agent(uint32_t crc_offset)
{
    struct Agent {
        std::vector<uint8_t> prev;
        uint32_t len = 0;
        bool want_len = false, want_data = false;
        unsigned crc = 0xFFFF;
    };
    auto a = std::make_shared<Agent>();
    state().responder = [a, crc_offset](const std::vector<uint8_t> &w) {
        auto is = [&](const std::vector<uint8_t> &v, const unsigned char(&word)[4]) {
            return v.size() == 4 && memcmp(v.data(), word, 4) == 0;
        };
        if (a->want_len && w.size() == 4) {
            a->len = get_le32(w.data());
            a->want_len = false;
        } else if (a->want_data) {
            a->crc = crc16(w.data(), static_cast<uint32_t>(w.size()));
            a->want_data = false;
        } else if (is(w, ack_command)) {
            push(w);
        } else if (is(w, set_len_command)) {
            a->want_len = true;
        } else if (is(w, send_data_command)) {
            a->want_data = true;
        } else if (is(w, get_data_command)) {
            std::vector<uint8_t> block(a->len, 0x5A);
            a->crc = crc16(block.data(), a->len);
            push(block);
        } else if (is(w, get_crc_command)) {
            push_u32(a->crc + crc_offset);
        } else if (is(a->prev, write_flash_command) || is(a->prev, read_flash_command) ||
                   is(a->prev, erase_flash_command)) {
            push_u32(flash_msg_done); // the record of a flash command
        }
        a->prev = w;
    };
}

} // namespace fake_usb

using fake_usb::state;

int usb_bulk_write(usb_dev_handle *, int ep, char *data, int size, int timeout)
{
    if (ep != USB_EP_BULK_OUT)
        return -1;
    int index = static_cast<int>(state().writes.size());
    if (index == state().fail_write_at)
        return -1;
    std::vector<uint8_t> bytes(data, data + size);
    state().writes.push_back({bytes, timeout});
    if (state().responder)
        state().responder(bytes);
    return size;
}

int usb_bulk_read(usb_dev_handle *, int ep, char *data, int size, int timeout)
{
    state().reads++;
    state().read_timeouts.push_back(timeout);
    if (ep != USB_EP_BULK_IN)
        return -5;
    if (state().fail_read_result)
        return state().fail_read_result;
    if (static_cast<int>(state().in.size()) < size)
        return -5;
    for (int i = 0; i < size; i++) {
        data[i] = static_cast<char>(state().in.front());
        state().in.pop_front();
    }
    return size;
}
