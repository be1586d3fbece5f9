// fuzz support: a transport whose every reply comes from the fuzzer's bytes. Linked into the
// protocol fuzz targets in place of bw_usb; defines usb_bulk_write and usb_bulk_read.
//
// It never blocks and never sleeps: a read takes the next `size` bytes of the script, and when
// fewer remain it fails at once with -5, as a time-out would. Writes succeed, except the one
// numbered fail_write (0 = the first), which fails with -1 as a write time-out would. Every
// written byte is read and every read byte is stored, so AddressSanitizer sees a caller's buffer
// that is shorter than the size it passes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usb/usb.h"

// Starts a new script; fail_write < 0 means no write fails.
void fake_transport_reset(const uint8_t *data, size_t size, long fail_write);
// The handle to pass to the protocol layers (opaque; the fake never looks inside).
usb_dev_handle *fake_transport_handle();
// Bytes of the script not yet read.
size_t fake_transport_left();
