// tests/romcode: the recording fake transport (see fake_usb.h).
#include "fake_usb.h"

#include <cstring>
#include <memory>

#include "romcode/romcode_protocol.h"
#include "usb/usb.h"
#include "util/bytes.h"

FakeUsb g_usb;

void FakeUsb::answer(uint8_t cmd, uint8_t status, std::vector<uint8_t> data, int len_field)
{
    std::vector<uint8_t> a = {
        cmd, 0, 0, status, 0, static_cast<uint8_t>(len_field < 0 ? data.size() : len_field)};
    a.insert(a.end(), data.begin(), data.end());
    pending.push_back(std::move(a));
}

std::vector<std::vector<uint8_t>> FakeUsb::frames(uint8_t cmd) const
{
    std::vector<std::vector<uint8_t>> out;
    for (const FakeTransfer &w : writes)
        if (w.bytes.size() >= 8 && w.bytes[0] == cmd)
            out.push_back(w.bytes);
    return out;
}

int usb_bulk_write(usb_dev_handle *, int ep, char *data, int size, int timeout)
{
    std::vector<uint8_t> bytes(data, data + size);
    g_usb.writes.push_back({bytes, ep, size, timeout});
    if (static_cast<int>(g_usb.writes.size()) - 1 == g_usb.fail_write_index)
        return USB_ERR_WRITE;
    if (g_usb.responder)
        g_usb.responder(bytes);
    return size;
}

// Like the real transport: exactly size bytes or a failure; a transfer shorter than the request
// is a short packet followed by silence, so a time-out.
int usb_bulk_read(usb_dev_handle *, int ep, char *data, int size, int timeout)
{
    g_usb.reads.push_back({{}, ep, size, timeout});
    if (size == 0)
        return 0;
    if (g_usb.pending.empty())
        return USB_ERR_READ;
    std::vector<uint8_t> &front = g_usb.pending.front();
    if (static_cast<int>(front.size()) < size) {
        g_usb.pending.pop_front();
        return USB_ERR_READ;
    }
    memcpy(data, front.data(), size);
    front.erase(front.begin(), front.begin() + size);
    if (front.empty())
        g_usb.pending.pop_front();
    return size;
}

void fake_rom(std::vector<uint32_t> select_ids,
              std::function<bool(const std::vector<uint8_t> &)> hook)
{
    auto ids = std::make_shared<std::deque<uint32_t>>(select_ids.begin(), select_ids.end());
    g_usb.responder = [ids, hook](const std::vector<uint8_t> &w) {
        if (hook && hook(w))
            return;
        if (w.size() == 4 && w[0] == 0x00) { // preamble
            g_usb.raw(w);
            return;
        }
        uint8_t cmd = w[0];
        switch (cmd) {
        case SOR_CMD_GET_VERSION:
            g_usb.answer(cmd, 0,
                         {0x31, 0x30, 0x32, 0x33, 0x78, 0x56, 0x34, 0x12, 0x07, 0x5A, 0x59, 0x58});
            break;
        case SOR_CMD_SELECT_IMAGE: {
            std::vector<uint8_t> d(4);
            put_le32(d.data(), ids->empty() ? 0 : ids->front());
            if (!ids->empty())
                ids->pop_front();
            g_usb.answer(cmd, 0, d);
            break;
        }
        case SOR_CMD_DATA_HEADER: { // grant everything announced
            std::vector<uint8_t> d(w.begin() + 8, w.begin() + 12);
            g_usb.answer(cmd, 0, d);
            break;
        }
        case SOR_CMD_DISCONNECT:
            break;
        default:
            g_usb.answer(cmd, 0, {});
        }
    };
}
