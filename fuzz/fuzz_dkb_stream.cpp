// fuzz target of the DKB command protocol: an agent whose every reply comes from the fuzzer's
// bytes, driving the message stream and the operations built on it.
//
// Input: byte 0 picks the operation, byte 1 numbers the write that fails (0xFF: none), byte 2
// picks a NAND geometry and CRC checking for the flash transfers; the rest are the agent's
// replies, read in order.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "dkb/libdkb.h"
#include "support/fake_transport.h"
#include "support/fuzz_util.h"

namespace
{

// Checks what the protocol promises every progress receiver, whatever the agent sends.
void check_progress(void *user_data, const char *msg, int cur, int range)
{
    if (user_data != &check_progress || !msg)
        abort();
    (void)cur;
    (void)range;
}

struct geometry {
    int page, block, oob;
};
// Small geometries, one with spare areas, so a transfer spans several blocks in a short input.
constexpr geometry kGeometries[] = {
    {512, 2048, 0}, {512, 2048, 16}, {64, 256, 0}, {2048, 8192, 64}};

// Exact-size heap buffer with a fixed pattern.
std::vector<unsigned char> pattern(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<unsigned char>(i * 13 + 5);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (silence_diagnostics(), true);
    (void)once;
    if (size < 3)
        return 0;
    const int op = data[0] % 12;
    const long fail_write = data[1] == 0xFF ? -1 : data[1];
    const geometry g = kGeometries[data[2] & 3];
    const int crc = (data[2] >> 2) & 1;
    fake_transport_reset(data + 3, size - 3, fail_write);
    usb_dev_handle *h = fake_transport_handle();

    int r = 0;
    int dev_err = -12345;
    switch (op) {
    case 0:
        r = handle_flash_msg(h, &dev_err, check_progress,
                             reinterpret_cast<void *>(&check_progress));
        if (r != DKB_ERR_DEVICE && dev_err != -12345)
            abort(); // the device code is written only when the agent reports an error
        break;
    case 1: {
        int found = -1;
        r = dkb_init_nand(h, &found);
        if (r == 0 && found != 0 && found != 1)
            abort();
        break;
    }
    case 2: {
        comm_protocol_flash_info_resp info;
        r = dkb_get_nand_info(h, &info);
        break;
    }
    case 3: {
        // Three blocks of data (with spare areas when the geometry has them) into a range
        // one block longer, so the tail erase runs too.
        const int units = 3 * (g.block / g.page);
        std::vector<unsigned char> buf = pattern(static_cast<size_t>(units) * (g.page + g.oob));
        r = dkb_flash_write(h, buf.data(), static_cast<int>(buf.size()), 4 * g.block, 8 * g.block,
                            1, g.page, g.block, g.oob, crc, 0, check_progress,
                            reinterpret_cast<void *>(&check_progress));
        break;
    }
    case 4: {
        const int lo = 2 * g.block, hi = lo + 2 * g.block + g.page;
        int64_t n = dkb_flash_read_buffer_size(lo, hi, g.page, g.oob);
        std::vector<unsigned char> buf(static_cast<size_t>(n));
        r = dkb_flash_read(h, buf.data(), lo, hi, 1, g.page, g.block, g.oob, crc, 0, check_progress,
                           reinterpret_cast<void *>(&check_progress));
        break;
    }
    case 5:
        r = dkb_init_bbm_nake_flash(h, check_progress, reinterpret_cast<void *>(&check_progress));
        break;
    case 6:
        r = dkb_validate_bbm(h);
        break;
    case 7:
        r = dkb_flash_erase(h, g.block, 3 * g.block, 0);
        break;
    case 8: {
        std::vector<unsigned char> buf(1500);
        r = dkb_read_mem(h, DKB_RAM_STAGING_ADDRESS, buf.data(), 1500, 1, check_progress,
                         reinterpret_cast<void *>(&check_progress));
        break;
    }
    case 9: {
        struct tm t;
        memset(&t, 0, sizeof t);
        r = dkb_read_rtc(h, &t);
        break;
    }
    case 10: {
        uint8_t v = 0;
        r = dkb_read_pmic_data(h, 0x12, &v);
        break;
    }
    default:
        // The liveness probe of a finished phone, repeated while it answers.
        for (int i = 0; i < 64 && (r = dkb_ack(h)) == 0; i++) {
        }
        break;
    }
    if (r > 0)
        abort(); // results are 0 or negative
    return 0;
}
