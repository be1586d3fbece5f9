// fuzz target of the boot ROM link: a boot ROM whose every answer comes from the fuzzer's bytes,
// driving the whole DKB bootstrap (download_dkb) and then the get-message command.
//
// Input: byte 0 numbers the write that fails (0xFF: none); byte 1 is the size of the DKB image
// (0..255); byte 2 bit 0 selects an external TIM of (byte 2 >> 1) bytes instead of the generated
// one; the rest are the ROM's answers, read in order. Bytes left after the bootstrap answer a
// get-message command.
#include <cstdint>
#include <cstdlib>

#include "romcode/libromcode_helper.h"
#include "romcode/romcode_protocol.h"
#include "support/fake_transport.h"
#include "support/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (silence_diagnostics(), true);
    (void)once;
    if (size < 3)
        return 0;
    long fail_write = data[0] == 0xFF ? -1 : data[0];
    int image_size = data[1];
    bool external_tim = data[2] & 1;
    int tim_size = data[2] >> 1;

    // Exact-size heap copies, so any read past either image is an AddressSanitizer report.
    unsigned char *image = image_size ? static_cast<unsigned char *>(malloc(image_size)) : nullptr;
    for (int i = 0; i < image_size; i++)
        image[i] = static_cast<unsigned char>(i * 37 + 1);
    unsigned char *tim = nullptr;
    if (external_tim && tim_size) {
        tim = static_cast<unsigned char *>(malloc(tim_size));
        for (int i = 0; i < tim_size; i++)
            tim[i] = static_cast<unsigned char>(i ^ 0x5A);
    }

    fake_transport_reset(data + 3, size - 3, fail_write);
    usb_dev_handle *h = fake_transport_handle();
    int r = download_dkb(h, tim, external_tim ? tim_size : 0, image, image_size);
    if (r > 0)
        abort(); // results are 0 or negative
    if (fake_transport_left() > 0) {
        sor_bootrom_response resp;
        r = sor_romcode_get_message(h, &resp);
        if (r > 0)
            abort();
    }
    free(tim);
    free(image);
    return 0;
}
