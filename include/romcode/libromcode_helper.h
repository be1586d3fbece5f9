// romcode: the DKB bootstrap. Pushes a TIM header and the DKB agent image through the boot ROM
// protocol (romcode/romcode_protocol.h) and lets the ROM go. Called by the per-device flashing
// sequence (download_dkb) and by tools and tests (download_dkb_file).
//
// Diagnostics: the ROM's version and the sizes go to standard output, every error line to
// standard error, with the texts the station has always printed.
#pragma once

#include "usb/usb.h"

// The whole bootstrap: greet, TIM, greet again, DKB image, disconnect. pbuf_tim/tim_size name an
// external TIM, sent unchanged; a null buffer or a size of 0 selects the self-generated one.
// pbuf_dkb is only read. 0, -1 (greeting, select, verify, bad arguments), or the image transfer's
// code (-3, -4, -6, -7). The device stays open. With rom_version, the ROM's first version answer
// is stored there (untouched when none came).
struct sor_bootrom_version;
int download_dkb(usb_dev_handle *udev, unsigned char *pbuf_tim, int tim_size,
                 unsigned char *pbuf_dkb, int dkb_size, sor_bootrom_version *rom_version = nullptr);

// The same with the DKB image and, when tim_file is not null, the TIM read from files.
int download_dkb_file(usb_dev_handle *udev, const char *tim_file, const char *image_file);

// Boot ROM services the station never uses, kept for the interface with no caller:
// read_message returns 0; the other three say on standard error that they are not available
// and return -1 (otp_view, debug_boot and enable_jtag print their name and " TODO").
int read_message(usb_dev_handle *udev);
int otp_view(usb_dev_handle *udev);
int debug_boot(usb_dev_handle *udev);
int enable_jtag(usb_dev_handle *udev, const char *jtag_key_file);

// The whole content of a file as a read-only mapping; 0, or -1 (with a line on standard error)
// for a missing, unreadable or empty file. Release it with memory_unmap_file_helper.
int memory_map_file_helper(const char *image_file_name, unsigned char **ret_buf, int *ret_size);
void memory_unmap_file_helper(unsigned char *buf, int size);
