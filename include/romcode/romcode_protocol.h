// romcode: the boot ROM's USB download protocol, station side. Called by the DKB bootstrap
// (romcode/libromcode_helper.h) and by tests; it calls only the transport (usb/usb.h).
//
// Every operation takes the opened boot ROM device, moves one command and its answer (or the raw
// preamble), prints nothing, keeps no state and returns 0 or a negative SOR_ERR_* code. Frames
// are built and parsed byte by byte; no struct is ever cast onto the wire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usb/usb.h"

// Command ids (the `cmd` byte of a frame).
enum {
    SOR_CMD_GET_VERSION = 0x20,
    SOR_CMD_DATA = 0x22,
    SOR_CMD_SELECT_IMAGE = 0x26,
    SOR_CMD_VERIFY_IMAGE = 0x27,
    SOR_CMD_DATA_HEADER = 0x2A,
    SOR_CMD_GET_MESSAGE = 0x2B,
    SOR_CMD_DONE = 0x30,
    SOR_CMD_DISCONNECT = 0x31,
};

// Frame geometry.
enum {
    SOR_PREAMBLE_SIZE = 4,
    SOR_COMMAND_HEAD_SIZE = 8,  // cmd, seq, cid, flags, len (u32)
    SOR_RESPONSE_HEAD_SIZE = 6, // cmd, seq, cid, status, flags, len (u8)
    SOR_RESPONSE_MAX_DATA = 255,
    SOR_RESPONSE_SIZE = SOR_RESPONSE_HEAD_SIZE + SOR_RESPONSE_MAX_DATA, // 261
    SOR_VERSION_DATA_SIZE = 12,
};

// Time-outs in milliseconds, per transport request.
enum {
    SOR_TIMEOUT_PREAMBLE_WRITE = 2000,
    SOR_TIMEOUT_PREAMBLE_READ = 2000,
    SOR_TIMEOUT_COMMAND_WRITE = 10000,
    SOR_TIMEOUT_ANSWER_READ = 5000,
    SOR_TIMEOUT_MESSAGE_WRITE = 1000,
    SOR_TIMEOUT_MESSAGE_READ = 2000,
};

// Result codes of this layer.
enum {
    SOR_OK = 0,
    SOR_ERR_PREAMBLE = -2, // the preamble echo differs from the preamble
    SOR_ERR_READ = -3,     // an answer (or the echo) did not arrive in full
    SOR_ERR_WRITE = -4,    // a frame (or the preamble) was not written in full; no memory
    SOR_ERR_ANSWER = -6,   // wrong cmd or len in an answer; a grant the image cannot fill
    SOR_ERR_STATUS = -7,   // the ROM answered with a non-zero status
};

// 00 D3 02 2B, sent raw; the ROM echoes it.
extern const uint8_t sor_boot_rom_preamble[SOR_PREAMBLE_SIZE];

// Host to ROM: SOR_COMMAND_HEAD_SIZE + len bytes on the wire.
struct sor_bootrom_command {
    uint8_t cmd;
    uint8_t seq;   // 0 except during an image transfer
    uint8_t cid;   // 0
    uint8_t flags; // 0
    uint32_t len;  // bytes of data that follow
    const uint8_t *data;
};

// Writes the frame head and len data bytes to out (SOR_COMMAND_HEAD_SIZE + len bytes).
void sor_bootrom_command_put(const sor_bootrom_command *c, uint8_t *out);

// ROM to host. All single bytes, so the record has the wire's 261-byte layout; it is still
// filled by sor_bootrom_response_get, never by casting.
struct sor_bootrom_response {
    uint8_t cmd;
    uint8_t seq;
    uint8_t cid;
    uint8_t status; // 0 = success, else a row of SOR_ERROR_CODES
    uint8_t flags;
    uint8_t len; // data bytes that follow
    uint8_t data[SOR_RESPONSE_MAX_DATA];
};
static_assert(sizeof(sor_bootrom_response) == SOR_RESPONSE_SIZE);

// Fills r from n received bytes (n <= SOR_RESPONSE_SIZE); the rest of r is zeroed.
void sor_bootrom_response_get(const uint8_t *in, size_t n, sor_bootrom_response *r);

// The ROM's version answer, decoded.
struct sor_bootrom_version {
    char version[4];      // characters, most significant byte of the first word first
    uint32_t date;        // e.g. 0x12345678, printed as %08X
    uint8_t processor[4]; // three characters, then a number
};

// Greets the ROM: preamble out, echo back. 0, -2, -3 or -4.
int sor_romcode_send_premble(usb_dev_handle *udev);
// Get version (0x20); fills *ver only on success.
int sor_romcode_get_version(usb_dev_handle *udev, sor_bootrom_version *ver);
// Select image (0x26); stores the id of the image the ROM wants next only on success.
int sor_romcode_select_image(usb_dev_handle *udev, uint32_t *image_id);
// Verify image (0x27) with its single data byte 0x00.
int sor_romcode_verify_image(usb_dev_handle *udev);
// Sends size bytes of buf as the selected image in the chunks the ROM grants, then done (0x30).
// A grant larger than what remains, or a zero grant while bytes remain, ends it with -6.
int sor_romcode_send_image(usb_dev_handle *udev, const unsigned char *buf, unsigned int size);
// Disconnect (0x31); no answer is read. 0 once the frame is written, else -4.
int sor_romcode_disconnect(usb_dev_handle *udev);
// Get message (0x2B); the answer is left in *resp (up to 255 data bytes).
int sor_romcode_get_message(usb_dev_handle *udev, sor_bootrom_response *resp);
