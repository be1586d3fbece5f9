// romcode: the DKB bootstrap. Called by the per-device flashing sequence (download_dkb) and by
// tools and tests (download_dkb_file); drives the boot ROM protocol of libromcode.cpp.
//
// Order on the wire: greet, TIM (select, verify, data, done), greet again, DKB image (the same),
// disconnect. Every failure writes its line to standard error and gives up; nothing is retried.
#include "romcode/libromcode_helper.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "romcode/romcode_protocol.h"
#include "romcode/romcode_tim.h"
#include "util/diag.h"

// Greets the ROM and prints its version, also stored in *ver_out when given; 0 or -1.
static int init_ack(usb_dev_handle *udev, sor_bootrom_version *ver_out = nullptr)
{
    int r = sor_romcode_send_premble(udev);
    if (r != 0) {
        diag_printf(stderr, "Send PREMBLE error: %d\n", r);
        return -1;
    }
    sor_bootrom_version ver;
    r = sor_romcode_get_version(udev, &ver);
    if (r != 0) {
        diag_printf(stderr, "Get version error: %d\n", r);
        return -1;
    }
    diag_printf(stdout, "Get CPU response\n");
    diag_printf(stdout, "Version: %c%c%c%c\n", ver.version[0], ver.version[1], ver.version[2],
                ver.version[3]);
    diag_printf(stdout, "Date: %08X\n", ver.date);
    diag_printf(stdout, "Processor: %c%c%c %02X\n", ver.processor[0], ver.processor[1],
                ver.processor[2], ver.processor[3]);
    diag_printf(stdout, "\n");
    if (ver_out)
        *ver_out = ver;
    return 0;
}

// Selects, checks, verifies and sends one image; 0, -1, or the transfer's result code.
static int download_image(usb_dev_handle *udev, const unsigned char *pbuf, int size,
                          uint32_t expected_image_id)
{
    uint32_t image_id = 0;
    int r = sor_romcode_select_image(udev, &image_id);
    if (r != 0) {
        diag_printf(stderr, "Select image error: %d\n", r);
        return -1;
    }
    if (image_id != expected_image_id) {
        diag_printf(stderr, "Unexpected identifier in select image: Return: %08X Expected: %08X\n",
                    image_id, expected_image_id);
        return -1;
    }
    r = sor_romcode_verify_image(udev);
    if (r != 0) {
        diag_printf(stderr, "Verify image error: %d\n", r);
        return -1;
    }
    return sor_romcode_send_image(udev, pbuf, static_cast<unsigned int>(size));
}

int download_dkb(usb_dev_handle *udev, unsigned char *pbuf_tim, int tim_size,
                 unsigned char *pbuf_dkb, int dkb_size, sor_bootrom_version *rom_version)
{
    // A negative size (or a missing buffer behind a positive one) would be read as a huge
    // image: refuse it before anything goes to the phone.
    if (dkb_size < 0 || (dkb_size > 0 && !pbuf_dkb) || tim_size < 0) {
        diag_printf(stderr, "Invalid image: dkb size %d, tim size %d\n", dkb_size, tim_size);
        return -1;
    }

    // 1. Greet.
    int r = init_ack(udev, rom_version);
    if (r != 0)
        return r;

    // 2. An external TIM is sent as given; otherwise the station builds its own.
    const char *kind = "external";
    unsigned char *own_tim = nullptr;
    if (!pbuf_tim || tim_size == 0) {
        kind = "self-gen";
        own_tim = generate_default_tim_for_dkb(pbuf_dkb, dkb_size, 0, &tim_size);
        if (!own_tim) {
            diag_printf(stderr, "Cannot allocate the tim\n");
            return -1;
        }
        pbuf_tim = own_tim;
    }

    // 3.
    diag_printf(stdout, "file size of dkb:%d, file size of tim:%d using %s tim\n", dkb_size,
                tim_size, kind);

    // 4.-7. TIM, greet again, DKB image, let the ROM go.
    r = download_image(udev, pbuf_tim, tim_size, SOR_IMAGE_ID_TIM);
    if (r != 0) {
        diag_printf(stderr, "Error in download tim %d\n", r);
    } else if ((r = init_ack(udev)) != 0) {
        // its own line has been written
    } else if ((r = download_image(udev, pbuf_dkb, dkb_size, SOR_IMAGE_ID_DKB)) != 0) {
        diag_printf(stderr, "Error in download dkb %d\n", r);
    } else if ((r = sor_romcode_disconnect(udev)) != 0) {
        diag_printf(stderr, "Error in disconnect\n");
    }

    // 8.
    free(own_tim);
    return r;
}

int download_dkb_file(usb_dev_handle *udev, const char *tim_file, const char *image_file)
{
    unsigned char *dkb = nullptr;
    int dkb_size = 0;
    int r = memory_map_file_helper(image_file, &dkb, &dkb_size);
    if (r != 0) {
        diag_printf(stderr, "Error in memory map file: %s\n", image_file);
        return r;
    }

    unsigned char *tim = nullptr;
    int tim_size = 0;
    if (tim_file && memory_map_file_helper(tim_file, &tim, &tim_size) != 0) {
        diag_printf(stderr, "Error in memory map file: %s\n", tim_file);
        r = -1;
    } else {
        r = download_dkb(udev, tim, tim_size, dkb, dkb_size);
    }

    if (tim)
        memory_unmap_file_helper(tim, tim_size);
    memory_unmap_file_helper(dkb, dkb_size);
    return r;
}

int memory_map_file_helper(const char *image_file_name, unsigned char **ret_buf, int *ret_size)
{
    // 1. Existing files only, read access.
    int fd = open(image_file_name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        diag_printf(stderr, "Cannot open %s file\n", image_file_name);
        return -1;
    }

    // 2. The size must be positive and fit the int callers pass around; a directory or a
    //    device has no content to map.
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > INT_MAX) {
        int err = 0;
        if (st.st_size > INT_MAX)
            err = EFBIG;
        else if (!S_ISREG(st.st_mode))
            err = EINVAL;
        close(fd);
        diag_printf(stderr, "%s file size invalid: %d.\n", image_file_name, err);
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);

    // 3.-4. A read-only view of exactly the file; the view outlives the descriptor.
    void *view = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) {
        diag_printf(stderr, "Create file mapping failed.\n");
        return -1;
    }
    *ret_size = static_cast<int>(size);
    *ret_buf = static_cast<unsigned char *>(view);
    return 0;
}

void memory_unmap_file_helper(unsigned char *buf, int size)
{
    if (buf && size > 0)
        munmap(buf, static_cast<size_t>(size));
}

int read_message(usb_dev_handle *udev)
{
    (void)udev;
    return 0;
}

int otp_view(usb_dev_handle *udev)
{
    (void)udev;
    diag_printf(stderr, "otp_view TODO\n");
    return -1;
}

int debug_boot(usb_dev_handle *udev)
{
    (void)udev;
    diag_printf(stderr, "debug_boot TODO\n");
    return -1;
}

int enable_jtag(usb_dev_handle *udev, const char *jtag_key_file)
{
    (void)udev;
    (void)jtag_key_file;
    diag_printf(stderr, "enable_jtag TODO\n");
    return -1;
}
