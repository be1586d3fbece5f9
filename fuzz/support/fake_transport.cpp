// fuzz support: the transport served from the fuzzer's bytes (see fake_transport.h).
#include "fake_transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

struct script {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    long writes = 0;
    long fail_write = -1;
};

script g_script;
char g_handle_storage; // its address is the handle

} // namespace

void fake_transport_reset(const uint8_t *data, size_t size, long fail_write)
{
    g_script = script{data, size, 0, 0, fail_write};
}

usb_dev_handle *fake_transport_handle()
{
    return reinterpret_cast<usb_dev_handle *>(&g_handle_storage);
}

size_t fake_transport_left()
{
    return g_script.size - g_script.pos;
}

int usb_bulk_write(usb_dev_handle *, int, char *data, int size, int)
{
    if (size < 0)
        abort(); // the contract has no negative sizes: a caller bug
    // Touch every byte the caller claims to send.
    volatile unsigned char sink = 0;
    for (int i = 0; i < size; i++)
        sink = sink ^ static_cast<unsigned char>(data[i]);
    (void)sink;
    if (g_script.writes++ == g_script.fail_write)
        return USB_ERR_WRITE;
    return size;
}

int usb_bulk_read(usb_dev_handle *, int, char *data, int size, int)
{
    if (size < 0)
        abort();
    if (size == 0)
        return 0;
    size_t want = static_cast<size_t>(size);
    if (fake_transport_left() < want) {
        g_script.pos = g_script.size; // a device that went quiet stays quiet
        return USB_ERR_READ;
    }
    memcpy(data, g_script.data + g_script.pos, want);
    g_script.pos += want;
    return size;
}
