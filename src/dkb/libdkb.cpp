// dkb: the DKB agent command protocol, station side. Called by the station's per-phone sequence;
// drives the agent through usb_bulk_write/usb_bulk_read only.
//
// Layout of this file: transfer wrappers and record codecs, the channel (ack, message stream),
// RAM transfer with CRC, NAND transfer, NAND set-up and board control. Every function follows the
// numbered steps of its protocol exchange; a failed or short transfer ends the operation with the
// result code fixed for that step.
#include "dkb/libdkb.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "util/blank_pages.h"
#include "util/bytes.h"
#include "util/crc16.h"
#include "util/diag.h"

// Name printed by the source-location diagnostics.
static const char SRC[] = "libdkb/libdkb.cpp";

static_assert(sizeof(comm_protocol_write_flash_cmd) == COMM_PROTOCOL_WRITE_FLASH_CMD_SIZE);
static_assert(sizeof(comm_protocol_read_flash_cmd) == COMM_PROTOCOL_READ_FLASH_CMD_SIZE);
static_assert(sizeof(comm_protocol_erase_flash_cmd) == COMM_PROTOCOL_ERASE_FLASH_CMD_SIZE);
static_assert(sizeof(comm_protocol_flash_info_resp) == COMM_PROTOCOL_FLASH_INFO_RESP_SIZE);
static_assert(sizeof(comm_protocol_rtc) == COMM_PROTOCOL_RTC_SIZE);
static_assert(sizeof(comm_protocol_set_gpio_cmd) == COMM_PROTOCOL_SET_GPIO_CMD_SIZE);
static_assert(sizeof(comm_protocol_set_nand_flash_para_cmd) ==
              COMM_PROTOCOL_SET_NAND_FLASH_PARA_CMD_SIZE);
static_assert(sizeof(comm_protocol_set_bbm_para_cmd) == COMM_PROTOCOL_SET_BBM_PARA_CMD_SIZE);
static_assert(sizeof(comm_protocol_write_pmic_data) == COMM_PROTOCOL_PMIC_RECORD_SIZE);

namespace
{

// Time-outs in milliseconds, per transfer.
enum {
    TO_CONTROL = 1000,   // control commands, erase, acknowledgement
    TO_REPLY = 2000,     // fixed-size replies
    TO_FLASH_CMD = 2000, // write/read flash command words and records
    TO_MSG_WORD = 15000, // message word of the stream
    TO_MSG_VALUE = 1000, // progress, total, error payloads
    TO_MSG_TEXT = 2000,  // text length and text payloads
};

// ---- Transfer wrappers -------------------------------------------------------------------------
// Result: size when every byte moved, else the transport's negative result, or the bytes moved
// so far should the transport ever report zero bytes for a non-empty request (a short result the
// caller treats as failure, instead of looping forever).
// Both directions move the bytes the same way; only the transport call differs.
int move_all(int (*transfer)(usb_dev_handle *, int, char *, int, int), usb_dev_handle *dev, int ep,
             char *p, int size, int timeout)
{
    if (size <= 0)
        return 0;
    int remain = size;
    while (remain > 0) {
        int r = transfer(dev, ep, p, remain, timeout);
        if (r < 0)
            return r;
        if (r == 0 || r > remain)
            return size - remain;
        remain -= r;
        p += r;
    }
    return size;
}

int _usb_bulk_write(usb_dev_handle *dev, int ep, const void *bytes, int size, int timeout)
{
    // The transport takes a mutable pointer but never writes through it.
    return move_all(usb_bulk_write, dev, ep, static_cast<char *>(const_cast<void *>(bytes)), size,
                    timeout);
}

int _usb_bulk_read(usb_dev_handle *dev, int ep, void *bytes, int size, int timeout)
{
    return move_all(usb_bulk_read, dev, ep, static_cast<char *>(bytes), size, timeout);
}

int send_word(usb_dev_handle *dev, const unsigned char (&word)[4], int timeout)
{
    return _usb_bulk_write(dev, USB_EP_BULK_OUT, word, 4, timeout);
}

int send_u32(usb_dev_handle *dev, uint32_t value, int timeout)
{
    uint8_t b[4];
    put_le32(b, value);
    return _usb_bulk_write(dev, USB_EP_BULK_OUT, b, 4, timeout);
}

int read_u32(usb_dev_handle *dev, uint32_t *value, int timeout)
{
    uint8_t b[4];
    int r = _usb_bulk_read(dev, USB_EP_BULK_IN, b, 4, timeout);
    if (r == 4)
        *value = get_le32(b);
    return r;
}

// Writes a sequence of u32 fields as one record transfer.
int send_record(usb_dev_handle *dev, const uint32_t *fields, int count, int timeout)
{
    uint8_t b[32];
    for (int i = 0; i < count; i++)
        put_le32(b + 4 * i, fields[i]);
    return _usb_bulk_write(dev, USB_EP_BULK_OUT, b, 4 * count, timeout);
}

// One progress step: a console dot, the caller's callback, and a flush.
void progress_step(dkb_progress_callback callback, void *data, const char *msg, int cur, int range)
{
    fputs(".", stdout);
    if (callback)
        callback(data, msg, cur, range);
    fflush(stdout);
}

// Flash addresses are ints in the interface; the arithmetic runs in 64 bits and the wire takes
// the low 32 bits of the address.
uint32_t wire_addr(int64_t addr)
{
    return static_cast<uint32_t>(addr);
}

int64_t round_up(int64_t value, int64_t unit)
{
    int64_t rem = value % unit;
    return rem == 0 ? value : value + (unit - rem);
}

} // namespace

// ---- Channel -----------------------------------------------------------------------------------

int dkb_ack(usb_dev_handle *udev)
{
    int r = send_word(udev, ack_command, TO_CONTROL);
    if (r != 4) {
        diag_printf(stdout, "%s %d error:%d\n", SRC, __LINE__, r);
        return DKB_ERR_ACK;
    }
    unsigned char echo[4];
    r = _usb_bulk_read(udev, USB_EP_BULK_IN, echo, 4, TO_CONTROL);
    if (r != 4) {
        diag_printf(stdout, "%s %d error:%d\n", SRC, __LINE__, r);
        return DKB_ERR_ACK;
    }
    if (memcmp(echo, ack_command, 4) != 0) {
        diag_printf(stdout, "%s %d\n", SRC, __LINE__);
        return DKB_ERR_ACK;
    }
    return DKB_OK;
}

int handle_flash_msg(usb_dev_handle *udev, int *device_err_code, dkb_progress_callback callback,
                     void *callback_data)
{
    uint32_t msg = 0;
    uint32_t msg_length = 0;
    int total_length = 1;
    char cbuf[DKB_MAX_TEXT + 1];

    for (;;) {
        int r = read_u32(udev, &msg, TO_MSG_WORD);
        if (r < 0) {
            char ebuf[128];
            diag_printf(stderr, "usb read failed: %d, %s\n", r, strerror_r(-r, ebuf, sizeof ebuf));
            return DKB_ERR_MSG_READ;
        }
        if (r != 4) {
            diag_printf(stderr, "usb read size not consistent: %d\n", r);
            return DKB_ERR_MSG_SHORT;
        }
        switch (msg) {
        case flash_msg_progress:
            if (read_u32(udev, &msg, TO_MSG_VALUE) != 4)
                return DKB_ERR_MSG_SHORT;
            progress_step(callback, callback_data, "Flash", static_cast<int>(msg), total_length);
            break;
        case flash_msg_total: {
            uint32_t total;
            if (read_u32(udev, &total, TO_MSG_VALUE) != 4)
                return DKB_ERR_MSG_SHORT;
            total_length = static_cast<int>(total);
            break;
        }
        case flash_msg_text_length:
            if (read_u32(udev, &msg_length, TO_MSG_TEXT) != 4)
                return DKB_ERR_MSG_SHORT;
            break;
        case flash_msg_text:
            // The length holds for every later text until the next text length message.
            if (msg_length > DKB_MAX_TEXT)
                return DKB_ERR_TEXT_TOO_LONG;
            if (_usb_bulk_read(udev, USB_EP_BULK_IN, cbuf, static_cast<int>(msg_length),
                               TO_MSG_TEXT) != static_cast<int>(msg_length))
                return DKB_ERR_MSG_SHORT;
            cbuf[msg_length] = '\0';
            diag_printf(stdout, "%s", cbuf);
            break;
        case flash_msg_error: {
            uint32_t code;
            if (read_u32(udev, &code, TO_MSG_VALUE) != 4)
                return DKB_ERR_MSG_SHORT;
            diag_printf(stdout, "Flash Fireware error occurred, error code: %d\n",
                        static_cast<int>(code));
            if (device_err_code)
                *device_err_code = static_cast<int>(code);
            return DKB_ERR_DEVICE;
        }
        case flash_msg_done:
            return DKB_OK;
        default:
            diag_printf(stdout, "Unknown command received: %d\n", static_cast<int>(msg));
            return DKB_ERR_UNKNOWN_MSG;
        }
    }
}

// ---- RAM transfer with CRC ---------------------------------------------------------------------
// dkb_write_mem and dkb_read_mem share one block loop; the direction picks the data command,
// the time-outs, the progress text, and whether the step diagnostics are printed.

namespace
{

struct mem_dir {
    bool write;
    int to_len, to_addr_cmd, to_addr_val, to_data_cmd, to_data, to_crc_cmd, to_crc_reply;
    const char *progress_text;
};

const mem_dir MEM_WRITE = {true, 3000, 3000, 5000, 3000, 5000, 5000, 5000, "Write to ram"};
const mem_dir MEM_READ = {false, 1000, 1000, 1000, 1000, 1000, 1000, 3000, "Read from ram"};

// Length of the next block for the bytes that remain: never a whole multiple of 512.
int mem_block_length(int remain)
{
    if (remain > 65536)
        return static_cast<int>(DKB_MAX_MEM_BLOCK);
    return remain % 512 == 0 ? remain - 1 : remain;
}

int mem_transfer(const mem_dir &d, usb_dev_handle *udev, uint32_t ramloc, unsigned char *pbuf,
                 int size, int enable_crc, dkb_progress_callback callback, void *callback_data)
{
    const bool say = d.write; // the read side prints only the ack and CRC lines
    if (size > 0 && !pbuf)
        return DKB_ERR_BAD_ARGS;
    int r = send_word(udev, set_len_command, d.to_len);
    if (r != 4) {
        if (say)
            diag_printf(stdout, "%s %d\n", SRC, __LINE__);
        return DKB_ERR_TRANSFER;
    }
    r = send_u32(udev, DKB_MAX_MEM_BLOCK, d.to_len);
    if (r != 4) {
        if (say)
            diag_printf(stdout, "%s %d, err:%d\n", SRC, __LINE__, r);
        return DKB_ERR_TRANSFER;
    }
    if (size <= 0)
        return DKB_OK;

    int remain = size;
    for (;;) {
        int block = mem_block_length(remain);
        // Blocks of 65,537 reuse the length sent at the start.
        if (remain <= 65536) {
            r = send_word(udev, set_len_command, d.to_len);
            if (r != 4) {
                if (say)
                    diag_printf(stdout, "%s %d error:%d\n", SRC, __LINE__, r);
                return DKB_ERR_LEN_OR_CRC_REQ;
            }
            r = send_u32(udev, static_cast<uint32_t>(block), d.to_len);
            if (r != 4) {
                if (say)
                    diag_printf(stdout, "%s %d error:%d\n", SRC, __LINE__, r);
                return DKB_ERR_LEN_OR_CRC_REQ;
            }
        }
        r = send_word(udev, set_addr_command, d.to_addr_cmd);
        if (r != 4) {
            if (say)
                diag_printf(stdout, "%s %d err:%d\n", SRC, __LINE__, r);
            return DKB_ERR_TRANSFER;
        }
        r = send_u32(udev, ramloc, d.to_addr_val);
        if (r != 4) {
            if (say)
                diag_printf(stdout, "%s %d\n", SRC, __LINE__);
            return DKB_ERR_TRANSFER;
        }
        r = dkb_ack(udev);
        if (r != DKB_OK) {
            if (say)
                diag_printf(stdout, "%s %d\n", SRC, __LINE__);
            return DKB_ERR_ACK;
        }
        r = send_word(udev, d.write ? send_data_command : get_data_command, d.to_data_cmd);
        if (r != 4) {
            if (say)
                diag_printf(stdout, "%s %d\n", SRC, __LINE__);
            return DKB_ERR_TRANSFER;
        }
        r = d.write ? _usb_bulk_write(udev, USB_EP_BULK_OUT, pbuf, block, d.to_data)
                    : _usb_bulk_read(udev, USB_EP_BULK_IN, pbuf, block, d.to_data);
        if (r != block) {
            if (say)
                diag_printf(stdout, "%s %d error:%d write_size:%d\n", SRC, __LINE__, r, block);
            return DKB_ERR_TRANSFER;
        }
        if (enable_crc) {
            unsigned int expected = crc16(pbuf, static_cast<uint32_t>(block));
            r = send_word(udev, get_crc_command, d.to_crc_cmd);
            if (r != 4) {
                if (say)
                    diag_printf(stdout, "%s %d\n", SRC, __LINE__);
                return DKB_ERR_LEN_OR_CRC_REQ;
            }
            uint32_t got = 0;
            r = read_u32(udev, &got, d.to_crc_reply);
            if (r != 4) {
                if (say)
                    diag_printf(stdout, "%s %d\n", SRC, __LINE__);
                return DKB_ERR_MSG_SHORT;
            }
            // Compared as whole 32-bit values: the agent's high half must be zero.
            if (got != expected) {
                diag_printf(stdout, " CRC error: expected:%d, got:%d\n", static_cast<int>(expected),
                            static_cast<int>(got));
                return DKB_ERR_CRC;
            }
        }
        remain -= block;
        progress_step(callback, callback_data, d.progress_text, size - remain, size);
        if (remain == 0)
            return DKB_OK;
        pbuf += block;
        ramloc += static_cast<uint32_t>(block);
    }
}

} // namespace

int dkb_write_mem(usb_dev_handle *udev, uint32_t ramloc, const unsigned char *pbuf, int size,
                  int enable_crc, dkb_progress_callback callback, void *callback_data)
{
    // The write direction never stores through the buffer.
    return mem_transfer(MEM_WRITE, udev, ramloc, const_cast<unsigned char *>(pbuf), size,
                        enable_crc, callback, callback_data);
}

int dkb_read_mem(usb_dev_handle *udev, uint32_t ramloc, unsigned char *pbuf, int size,
                 int enable_crc, dkb_progress_callback callback, void *callback_data)
{
    return mem_transfer(MEM_READ, udev, ramloc, pbuf, size, enable_crc, callback, callback_data);
}

// ---- NAND flash transfer -----------------------------------------------------------------------

namespace
{

// Page and block sizes must describe a NAND before any division or block loop uses them.
bool geometry_ok(int page_size, int block_size, int oob_size)
{
    return page_size > 0 && block_size > 0 && oob_size >= 0;
}

// Buffer bytes of one erase block: main area only, or pages with their spare areas.
int64_t buffer_block_size(int page_size, int block_size, int oob_size)
{
    if (oob_size == 0)
        return block_size;
    return static_cast<int64_t>(block_size) +
           static_cast<int64_t>(oob_size) * (block_size / page_size);
}

// Main-area bytes carried by a chunk of buffer bytes; -1 when the chunk is not a whole number of
// pages with their spare areas.
int64_t chunk_main_size(int64_t chunk, int page_size, int oob_size)
{
    if (oob_size == 0)
        return chunk;
    int64_t unit = static_cast<int64_t>(page_size) + oob_size;
    if (chunk % unit != 0)
        return -1;
    return static_cast<int64_t>(page_size) * (chunk / unit);
}

// Where an image's bytes come from: memory, or a file read a chunk at a time. A file is never
// mapped: one cut short while a phone is written (a copy over it truncates it first) must fail
// that phone, not raise SIGBUS in its thread and end the station.
struct image_source {
    const unsigned char *mem = nullptr; // the whole image, or null for
    int fd = -1;                        // the file, owned, with the image from byte `offset`
    int64_t offset = 0;
    int length = 0;
    std::vector<unsigned char> buf;
    image_source() = default;
    image_source(const image_source &) = delete;
    image_source &operator=(const image_source &) = delete;
    ~image_source()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Bytes [at, at + n) of the image, valid until the next call; null (after its line) when the
// file no longer holds them.
const unsigned char *source_bytes(image_source *s, int64_t at, int64_t n)
{
    if (s->mem)
        return s->mem + at;
    try {
        s->buf.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    int64_t got = 0;
    while (got < n) {
        ssize_t r = pread(s->fd, s->buf.data() + got, static_cast<size_t>(n - got),
                          static_cast<off_t>(s->offset + at + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            diag_printf(stderr, "Image file ended at byte %lld of %d: it changed while in use\n",
                    static_cast<long long>(at + got), s->length);
            return nullptr;
        }
        got += r;
    }
    return s->buf.data();
}

int flash_write_source(usb_dev_handle *udev, image_source *src, int size, int flash_loc,
                       int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                       int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                       void *callback_data, int skip_blank, dkb_write_stats *stats);

} // namespace

namespace
{

// Stages the first send buffer bytes of one block (all of it, or its leading pages) and has the
// agent program them at cur: staging, write command and record, message stream, acknowledgement.
int write_block(usb_dev_handle *udev, const unsigned char *pbuf, int64_t send, int64_t cur,
                int enable_hw_ecc, int page_size, int block_size, int oob_size, int enable_crc,
                int otp)
{
    const int64_t main_size = chunk_main_size(send, page_size, oob_size);
    int r = dkb_write_mem(udev, DKB_RAM_STAGING_ADDRESS, pbuf, static_cast<int>(send), enable_crc,
                          nullptr, nullptr);
    if (r != DKB_OK)
        return r;

    r = send_word(udev, write_flash_command, TO_FLASH_CMD);
    if (r != 4) {
        diag_printf(stdout, "%s %d ret:%d\n", SRC, __LINE__, r);
        return DKB_ERR_ACK;
    }
    const uint32_t rec[8] = {
        DKB_RAM_STAGING_ADDRESS,
        wire_addr(cur),
        wire_addr(round_up(cur + send, block_size)),
        static_cast<uint32_t>(main_size),
        static_cast<uint32_t>(enable_hw_ecc),
        oob_size != 0 ? 1u : 0u,
        1u, // use_bbm: the agent maps bad blocks, the station only counts addresses
        static_cast<uint32_t>(otp),
    };
    if (send_record(udev, rec, 8, TO_FLASH_CMD) != COMM_PROTOCOL_WRITE_FLASH_CMD_SIZE) {
        diag_printf(stdout, "%s %d\n", SRC, __LINE__);
        return DKB_ERR_ACK;
    }
    r = handle_flash_msg(udev, nullptr, nullptr, nullptr);
    if (r < 0) {
        diag_printf(stderr, "Write NAND flash failed %d\n", r);
        return r;
    }
    r = dkb_ack(udev);
    if (r != DKB_OK) {
        diag_printf(stdout, "%s %d\n", SRC, __LINE__);
        return r;
    }
    return DKB_OK;
}

// Erases a run of blank blocks [from, to) that a write left out, bad-block management on.
int erase_blank_run(usb_dev_handle *udev, int64_t from, int64_t to)
{
    int r = dkb_flash_erase(udev, static_cast<int>(from), static_cast<int>(to - from), 0);
    if (r != DKB_OK)
        diag_printf(stdout, "%s %d\n", SRC, __LINE__);
    return r;
}

// Pages (with their spare bytes) a chunk of buffer bytes spans; a short last page counts.
int64_t pages_in(int64_t bytes, int page_size, int oob_size)
{
    const int64_t unit = static_cast<int64_t>(page_size) + oob_size;
    return (bytes + unit - 1) / unit;
}

} // namespace

int dkb_flash_write(usb_dev_handle *udev, const unsigned char *pbuf, int size, int flash_loc,
                    int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                    int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                    void *callback_data)
{
    return dkb_flash_write_ex(udev, pbuf, size, flash_loc, flash_loc_end, enable_hw_ecc, page_size,
                              block_size, oob_size, enable_crc, otp, callback, callback_data, 0,
                              nullptr);
}

int dkb_flash_write_ex(usb_dev_handle *udev, const unsigned char *pbuf, int size, int flash_loc,
                       int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                       int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                       void *callback_data, int skip_blank, dkb_write_stats *stats)
{
    if (stats)
        *stats = dkb_write_stats{};
    if (size > 0 && !pbuf) {
        diag_printf(stderr, "Write NAND flash: invalid arguments (page %d, block %d, oob %d)\n",
                page_size, block_size, oob_size);
        return DKB_ERR_BAD_ARGS;
    }
    image_source src;
    src.mem = pbuf;
    src.length = size;
    return flash_write_source(udev, &src, size, flash_loc, flash_loc_end, enable_hw_ecc, page_size,
                              block_size, oob_size, enable_crc, otp, callback, callback_data,
                              skip_blank, stats);
}

namespace
{

int flash_write_source(usb_dev_handle *udev, image_source *src, int size, int flash_loc,
                       int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                       int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                       void *callback_data, int skip_blank, dkb_write_stats *stats)
{
    dkb_write_stats local;
    dkb_write_stats &st = stats ? *stats : local;
    st = dkb_write_stats{};
    if (!geometry_ok(page_size, block_size, oob_size)) {
        diag_printf(stderr, "Write NAND flash: invalid arguments (page %d, block %d, oob %d)\n",
                page_size, block_size, oob_size);
        return DKB_ERR_BAD_ARGS;
    }
    const int64_t total_flash_range = static_cast<int64_t>(flash_loc_end) - flash_loc;
    const int64_t each_block = buffer_block_size(page_size, block_size, oob_size);

    // Check the whole image before staging anything: a misaligned tail or data that would run
    // past flash_loc_end into the next range must not leave half an image behind.
    int64_t main_total = 0;
    for (int64_t left = size; left > 0; left -= each_block) {
        int64_t m = chunk_main_size(left < each_block ? left : each_block, page_size, oob_size);
        if (m < 0)
            return DKB_ERR_OOB_MISALIGNED;
        main_total += m;
    }
    if (main_total > 0 && main_total > total_flash_range) {
        diag_printf(stderr,
                    "Write NAND flash refused: %lld data bytes do not fit 0x%08X-0x%08X (%lld "
                    "bytes)\n",
                    static_cast<long long>(main_total), wire_addr(flash_loc),
                    wire_addr(flash_loc_end), static_cast<long long>(total_flash_range));
        return DKB_ERR_IMAGE_TOO_LONG;
    }

    // Leaving pages out is only sound when every chunk starts a block: the agent erases a block
    // when a write begins at its first byte, and an erase command takes whole blocks.
    const bool trim = skip_blank != 0 && flash_loc % block_size == 0;
    if (skip_blank && !trim)
        diag_printf(stderr,
                "Write NAND flash: 0x%08X is not at a block boundary, blank pages are sent\n",
                wire_addr(flash_loc));
    int64_t blank_from = -1; // first address of blank blocks not erased yet

    int64_t cur = flash_loc;
    int64_t remain = size > 0 ? size : 0;
    int64_t done = 0;
    while (remain > 0) {
        const int64_t chunk = remain < each_block ? remain : each_block;
        const int64_t main_size = chunk_main_size(chunk, page_size, oob_size);
        const unsigned char *pbuf = source_bytes(src, done, chunk);
        if (!pbuf)
            return DKB_ERR_FILE_RANGE;
        const int64_t send = trim ? block_leading_bytes(pbuf, chunk, page_size, oob_size) : chunk;
        if (send == 0) {
            if (blank_from < 0)
                blank_from = cur;
            st.blank_blocks++;
        } else {
            if (blank_from >= 0) {
                int r = erase_blank_run(udev, blank_from, cur);
                if (r != DKB_OK)
                    return r;
                blank_from = -1;
            }
            int r = write_block(udev, pbuf, send, cur, enable_hw_ecc, page_size, block_size,
                                oob_size, enable_crc, otp);
            if (r != DKB_OK)
                return r;
            st.bytes_staged += send;
            st.blank_pages += static_cast<int>(pages_in(chunk, page_size, oob_size) -
                                               pages_in(send, page_size, oob_size));
        }
        cur += main_size;
        done += chunk;
        remain -= chunk;
        progress_step(callback, callback_data, "Write to flash", static_cast<int>(cur - flash_loc),
                      static_cast<int>(total_flash_range));
    }
    if (blank_from >= 0) {
        int r = erase_blank_run(udev, blank_from, round_up(cur, block_size));
        if (r != DKB_OK)
            return r;
    }

    // Erase what the image does not fill, from the next whole block on.
    cur = round_up(cur, block_size);
    if (cur < flash_loc_end) {
        diag_printf(stdout, "erase extra data\n");
        int r =
            dkb_flash_erase(udev, static_cast<int>(cur), static_cast<int>(flash_loc_end - cur), 0);
        if (r != DKB_OK) {
            diag_printf(stdout, "%s %d\n", SRC, __LINE__);
            return r;
        }
    }
    progress_step(callback, callback_data, "Write to flash", static_cast<int>(total_flash_range),
                  static_cast<int>(total_flash_range));
    return DKB_OK;
}

// Opens the file for image_file_length bytes from image_file_offset (length <= 0: to the end of
// the file), never past the file's end. 0, or -16, -20, -22, -27 with their lines.
int open_image_file(const char *image_file_name, int image_file_offset, int image_file_length,
                    image_source *v)
{
    int fd = image_file_name ? open(image_file_name, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        diag_printf(stdout, "  Cannot open %s file\n",
                    image_file_name ? image_file_name : "(null)");
        return DKB_ERR_OPEN_FILE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        diag_printf(stderr, " Create file mapping failed.\n");
        return DKB_ERR_FILE_MAPPING;
    }
    const int64_t file_size = st.st_size;

    // Only bytes inside the file may be sent.
    int64_t length = image_file_length;
    bool inside = image_file_offset >= 0 && image_file_offset <= file_size;
    if (inside && image_file_length <= 0) {
        length = file_size - image_file_offset;
        if (length == 0) {
            close(fd);
            diag_printf(stderr, "%s file size invalid: %d.\n", image_file_name, errno);
            return DKB_ERR_FILE_EMPTY;
        }
    }
    if (!inside || image_file_offset + length > file_size || length > INT_MAX) {
        close(fd);
        diag_printf(stderr, "%s: offset %d length %d lies outside the file of %lld bytes\n",
                    image_file_name, image_file_offset, image_file_length,
                    static_cast<long long>(file_size));
        return DKB_ERR_FILE_RANGE;
    }

    v->fd = fd; // read as it is sent, never mapped
    v->offset = image_file_offset;
    v->length = static_cast<int>(length);
    return DKB_OK;
}

} // namespace

int dkb_flash_write_from_file(usb_dev_handle *udev, const char *image_file_name,
                              int image_file_offset, int image_file_length, int flash_loc,
                              int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                              int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                              void *callback_data)
{
    return dkb_flash_write_from_file_ex(udev, image_file_name, image_file_offset, image_file_length,
                                        flash_loc, flash_loc_end, enable_hw_ecc, page_size,
                                        block_size, oob_size, enable_crc, otp, callback,
                                        callback_data, 0, nullptr);
}

int dkb_flash_write_from_file_ex(usb_dev_handle *udev, const char *image_file_name,
                                 int image_file_offset, int image_file_length, int flash_loc,
                                 int flash_loc_end, int enable_hw_ecc, int page_size,
                                 int block_size, int oob_size, int enable_crc, int otp,
                                 dkb_progress_callback callback, void *callback_data,
                                 int skip_blank, dkb_write_stats *stats)
{
    if (stats)
        *stats = dkb_write_stats{};
    image_source v;
    int r = open_image_file(image_file_name, image_file_offset, image_file_length, &v);
    if (r != DKB_OK)
        return r;
    return flash_write_source(udev, &v, v.length, flash_loc, flash_loc_end, enable_hw_ecc,
                              page_size, block_size, oob_size, enable_crc, otp, callback,
                              callback_data, skip_blank, stats);
}

int dkb_flash_verify_from_file(usb_dev_handle *udev, const char *image_file_name,
                               int image_file_offset, int image_file_length, int flash_loc,
                               int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                               int oob_size, int enable_crc, int otp,
                               dkb_progress_callback callback, void *callback_data)
{
    return dkb_flash_verify_from_file_ex(udev, image_file_name, image_file_offset,
                                         image_file_length, flash_loc, flash_loc_end, enable_hw_ecc,
                                         page_size, block_size, oob_size, enable_crc, otp, callback,
                                         callback_data, 0);
}

int dkb_flash_verify_from_file_ex(usb_dev_handle *udev, const char *image_file_name,
                                  int image_file_offset, int image_file_length, int flash_loc,
                                  int flash_loc_end, int enable_hw_ecc, int page_size,
                                  int block_size, int oob_size, int enable_crc, int otp,
                                  dkb_progress_callback callback, void *callback_data,
                                  int skip_blank)
{
    if (!geometry_ok(page_size, block_size, oob_size)) {
        diag_printf(stderr, "Verify NAND flash: invalid arguments (page %d, block %d, oob %d)\n",
                    page_size, block_size, oob_size);
        return DKB_ERR_BAD_ARGS;
    }
    image_source v;
    int r = open_image_file(image_file_name, image_file_offset, image_file_length, &v);
    if (r != DKB_OK)
        return r;

    // The read-back goes in groups of whole erase blocks counted from flash_loc, so every read
    // command covers exactly what one write command programmed (the agent maps bad blocks the
    // same way both times), and at most about 1 MiB is held at once.
    const int64_t each_block = buffer_block_size(page_size, block_size, oob_size);
    const int64_t group = each_block * std::max<int64_t>(1, (1 << 20) / each_block);
    int64_t main_total = 0;
    for (int64_t left = v.length; left > 0; left -= each_block) {
        int64_t m = chunk_main_size(left < each_block ? left : each_block, page_size, oob_size);
        if (m < 0)
            return DKB_ERR_OOB_MISALIGNED;
        main_total += m;
    }
    if (main_total > static_cast<int64_t>(flash_loc_end) - flash_loc)
        return DKB_ERR_IMAGE_TOO_LONG;
    // The phone computes the spare bytes itself under hardware ECC: only the main data is its
    // own to compare then.
    const bool compare_spare = oob_size != 0 && enable_hw_ecc == 0;
    // Only a range starting on a block boundary had its blank pages left out (see the write).
    const bool trimmed = skip_blank != 0 && flash_loc % block_size == 0;
    const int64_t unit = oob_size != 0 ? static_cast<int64_t>(page_size) + oob_size : 0;

    std::vector<unsigned char> back(static_cast<size_t>(std::min<int64_t>(group, v.length)));
    int64_t cur = flash_loc, done = 0;
    while (done < v.length) {
        const int64_t chunk = std::min<int64_t>(group, v.length - done);
        const int64_t main_size = chunk_main_size(chunk, page_size, oob_size);
        r = dkb_flash_read(udev, back.data(), static_cast<int>(cur),
                           static_cast<int>(cur + main_size), enable_hw_ecc, page_size, block_size,
                           oob_size, enable_crc, otp, nullptr, nullptr);
        if (r != DKB_OK)
            return r;
        const unsigned char *want = source_bytes(&v, done, chunk);
        if (!want)
            return DKB_ERR_FILE_RANGE;
        const bool same = memcmp(back.data(), want, static_cast<size_t>(chunk)) == 0;
        for (int64_t i = 0; !same && i < chunk; i++) {
            if (back[static_cast<size_t>(i)] == want[i])
                continue;
            // Byte i of the chunk: a spare byte, or main byte at a flash address.
            const int64_t in_unit = unit ? i % unit : i;
            const bool spare = unit && in_unit >= page_size;
            // A blank page the write left out must read erased, spare bytes included: a page
            // programmed with 0xFF shows there by its ECC.
            const bool blank_page =
                spare && trimmed &&
                block_leading_bytes(want + (i - in_unit), unit, page_size, oob_size) == 0;
            if (spare && !compare_spare && !blank_page)
                continue;
            const int64_t page_at = cur + (unit ? (i / unit) * page_size : 0);
            if (spare)
                diag_printf(stderr,
                        "Verify NAND flash failed: spare byte %d of the page at 0x%08X holds "
                        "0x%02X, the image 0x%02X%s\n",
                        static_cast<int>(in_unit - page_size), wire_addr(page_at),
                        back[static_cast<size_t>(i)], want[i],
                        blank_page ? " (a blank page that is not erased)" : "");
            else
                diag_printf(stderr,
                            "Verify NAND flash failed: 0x%08X holds 0x%02X, the image 0x%02X\n",
                            wire_addr(page_at + in_unit), back[static_cast<size_t>(i)], want[i]);
            return DKB_ERR_VERIFY;
        }
        cur += main_size;
        done += chunk;
        progress_step(callback, callback_data, "Verify flash", static_cast<int>(cur - flash_loc),
                      static_cast<int>(main_total));
    }
    return DKB_OK;
}

int64_t dkb_flash_read_buffer_size(int flash_loc, int flash_loc_end, int page_size, int oob_size)
{
    int64_t range = static_cast<int64_t>(flash_loc_end) - flash_loc;
    if (range <= 0 || oob_size == 0 || page_size <= 0)
        return range;
    return range + static_cast<int64_t>(oob_size) * (range / page_size);
}

int dkb_flash_read(usb_dev_handle *udev, unsigned char *pbuf, int flash_loc, int flash_loc_end,
                   int enable_hw_ecc, int page_size, int block_size, int oob_size, int enable_crc,
                   int otp, dkb_progress_callback callback, void *callback_data)
{
    const int64_t total_flash_range = static_cast<int64_t>(flash_loc_end) - flash_loc;
    const int64_t bytes = dkb_flash_read_buffer_size(flash_loc, flash_loc_end, page_size, oob_size);
    if (!geometry_ok(page_size, block_size, oob_size) || (bytes > 0 && !pbuf)) {
        diag_printf(stderr, "Read NAND flash: invalid arguments (page %d, block %d, oob %d)\n",
                    page_size, block_size, oob_size);
        return DKB_ERR_BAD_ARGS;
    }
    const int64_t each_block = buffer_block_size(page_size, block_size, oob_size);

    int64_t cur = flash_loc;
    int64_t remain = bytes > 0 ? bytes : 0;
    while (remain > 0) {
        const int64_t chunk = remain < each_block ? remain : each_block;
        const int64_t main_size = chunk_main_size(chunk, page_size, oob_size);
        if (main_size < 0) {
            diag_printf(stderr, "Read NAND flash with oob size misaligned \n");
            return DKB_ERR_OOB_MISALIGNED;
        }
        if (send_word(udev, read_flash_command, TO_FLASH_CMD) != 4)
            return DKB_ERR_ACK;
        const uint32_t rec[7] = {
            DKB_RAM_STAGING_ADDRESS,
            wire_addr(cur),
            static_cast<uint32_t>(main_size),
            static_cast<uint32_t>(enable_hw_ecc),
            oob_size != 0 ? 1u : 0u,
            1u, // use_bbm
            static_cast<uint32_t>(otp),
        };
        if (send_record(udev, rec, 7, TO_FLASH_CMD) != COMM_PROTOCOL_READ_FLASH_CMD_SIZE)
            return DKB_ERR_ACK;
        int r = handle_flash_msg(udev, nullptr, nullptr, nullptr);
        if (r < 0) {
            diag_printf(stderr, "Read NAND flash failed %d @ 0x%08X size: %d\n", r, wire_addr(cur),
                        static_cast<int>(main_size));
            return r;
        }
        r = dkb_read_mem(udev, DKB_RAM_STAGING_ADDRESS, pbuf, static_cast<int>(chunk), enable_crc,
                         nullptr, nullptr);
        if (r != DKB_OK)
            return r;
        r = dkb_ack(udev);
        if (r != DKB_OK)
            return r;
        cur += main_size;
        pbuf += chunk;
        remain -= chunk;
        progress_step(callback, callback_data, "Read from flash", static_cast<int>(cur - flash_loc),
                      static_cast<int>(total_flash_range));
    }
    progress_step(callback, callback_data, "Read from flash", static_cast<int>(total_flash_range),
                  static_cast<int>(total_flash_range));
    return DKB_OK;
}

int dkb_flash_read_to_file(usb_dev_handle *udev, const char *image_file_name, int flash_loc,
                           int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                           int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                           void *callback_data)
{
    int fd = image_file_name ? open(image_file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                             : -1;
    if (fd < 0) {
        diag_printf(stdout, "  Cannot open %s file\n",
                    image_file_name ? image_file_name : "(null)");
        return DKB_ERR_OPEN_FILE;
    }
    int result;
    unsigned char *buf = nullptr;
    const int64_t bytes = dkb_flash_read_buffer_size(flash_loc, flash_loc_end, page_size, oob_size);
    if (bytes <= 0) {
        diag_printf(stderr, "read size <= 0\n");
        result = DKB_ERR_READ_SIZE;
    } else if (bytes > INT_MAX ||
               !(buf = static_cast<unsigned char *>(malloc(static_cast<size_t>(bytes))))) {
        diag_printf(stdout, "  Cannot alloc %lld bytes\n", static_cast<long long>(bytes));
        result = DKB_ERR_ALLOC;
    } else {
        result = dkb_flash_read(udev, buf, flash_loc, flash_loc_end, enable_hw_ecc, page_size,
                                block_size, oob_size, enable_crc, otp, callback, callback_data);
        if (result != DKB_OK) {
            diag_printf(stdout, "  Read from flash failed\n");
        } else {
            int64_t done = 0;
            while (done < bytes) {
                ssize_t w = write(fd, buf + done, static_cast<size_t>(bytes - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    break;
                done += w;
            }
            if (done != bytes) {
                diag_printf(stdout, "  Write to file %s failed\n", image_file_name);
                // Leave an empty file rather than a silently truncated image.
                if (ftruncate(fd, 0) != 0)
                    diag_printf(stderr, "  Cannot empty %s\n", image_file_name);
                result = DKB_ERR_WRITE_FILE;
            } else {
                diag_printf(stdout, "Read Flash at 0x%08X to 0x%08X saved to %s\n",
                            wire_addr(flash_loc), wire_addr(flash_loc_end), image_file_name);
            }
        }
    }
    free(buf);
    close(fd);
    return result;
}

int dkb_flash_erase(usb_dev_handle *udev, int flashloc, int size, int ignore_bbm)
{
    const uint32_t use_bbm = ignore_bbm ? 0u : 1u;
    const int64_t end = static_cast<int64_t>(flashloc) + size;
    if (send_word(udev, erase_flash_command, TO_CONTROL) != 4)
        return DKB_ERR_TRANSFER;
    diag_printf(stdout, "Erase NAND flash: 0x%08X-0x%08X use bbm:%d.\n", wire_addr(flashloc),
                wire_addr(end), static_cast<int>(use_bbm));
    const uint32_t rec[3] = {wire_addr(flashloc), wire_addr(end), use_bbm};
    if (send_record(udev, rec, 3, TO_CONTROL) != COMM_PROTOCOL_ERASE_FLASH_CMD_SIZE)
        return DKB_ERR_TRANSFER;
    int r = handle_flash_msg(udev, nullptr, nullptr, nullptr);
    if (r < 0) {
        diag_printf(stdout, "Erase NAND flash failed\n");
        return r;
    }
    diag_printf(stdout, "Erase NAND flash success.\n");
    return DKB_OK;
}

// ---- NAND set-up and bad-block management ------------------------------------------------------

int dkb_init_nand(usb_dev_handle *udev, int *found_bbm)
{
    if (send_word(udev, init_nand_flash_command, TO_CONTROL) != 4)
        return DKB_ERR_ACK;
    if (found_bbm)
        *found_bbm = 1;
    int code = 0;
    int r = handle_flash_msg(udev, &code, nullptr, nullptr);
    if (r == DKB_OK)
        return DKB_OK;
    // No bad-block table is not a failure: the caller picks a BBM set-up from found_bbm.
    if (r == DKB_ERR_DEVICE && code == DKB_DEV_ERR_NO_BBM) {
        if (found_bbm)
            *found_bbm = 0;
        return DKB_OK;
    }
    diag_printf(stderr, "Init NAND flash failed\n");
    return r;
}

int dkb_validate_bbm(usb_dev_handle *udev)
{
    if (send_word(udev, validate_nand_bbm_command, TO_CONTROL) != 4)
        return DKB_ERR_ACK;
    int code = 0;
    int r = handle_flash_msg(udev, &code, nullptr, nullptr);
    if (r == DKB_OK)
        return DKB_OK;
    if (r == DKB_ERR_DEVICE && code == DKB_DEV_ERR_BBM_OUT_OF_AREA)
        diag_printf(stderr, "Invalid BBM mapping, out of reserved area\n");
    else
        diag_printf(stderr, "Unknown BBM error\n");
    return r;
}

static int init_bbm(usb_dev_handle *udev, const unsigned char (&word)[4], const char *fail_line,
                    dkb_progress_callback callback, void *callback_data)
{
    if (send_word(udev, word, TO_CONTROL) != 4)
        return DKB_ERR_TRANSFER;
    int r = handle_flash_msg(udev, nullptr, callback, callback_data);
    if (r != DKB_OK)
        diag_printf(stdout, "%s\n", fail_line);
    return r;
}

int dkb_init_bbm_nake_flash(usb_dev_handle *udev, dkb_progress_callback callback,
                            void *callback_data)
{
    return init_bbm(udev, init_sor_bbm_nake_flash_command, "Init BBM for Nake NAND flash failed",
                    callback, callback_data);
}

int dkb_init_bbm_used_flash(usb_dev_handle *udev, dkb_progress_callback callback,
                            void *callback_data)
{
    return init_bbm(udev, init_sor_bbm_used_flash_command, "Init BBM for Used NAND flash failed",
                    callback, callback_data);
}

int dkb_finialize_nand(usb_dev_handle *udev)
{
    if (send_word(udev, write_sor_bbm_command, TO_CONTROL) != 4)
        return DKB_ERR_ACK;
    int r = handle_flash_msg(udev, nullptr, nullptr, nullptr);
    if (r != DKB_OK)
        diag_printf(stdout,
                    "Critical error. Write to SOR BBM failed. Please reformat whole flash\n");
    return r;
}

int dkb_set_nand_bbm_reloc_area(usb_dev_handle *udev, int flash_loc, int flash_loc_end)
{
    if (send_word(udev, nand_flash_bbm_reloc_area_command, TO_CONTROL) != 4)
        return DKB_ERR_ACK;
    const uint32_t rec[2] = {wire_addr(flash_loc), wire_addr(flash_loc_end)};
    if (send_record(udev, rec, 2, TO_CONTROL) != COMM_PROTOCOL_SET_BBM_PARA_CMD_SIZE)
        return DKB_ERR_ACK;
    return DKB_OK;
}

int dkb_set_nand_flash_para(usb_dev_handle *udev, int num_of_chip_select)
{
    if (send_word(udev, nand_flash_para_command, TO_CONTROL) != 4)
        return DKB_ERR_ACK;
    const uint32_t rec[1] = {static_cast<uint32_t>(num_of_chip_select)};
    if (send_record(udev, rec, 1, TO_CONTROL) != COMM_PROTOCOL_SET_NAND_FLASH_PARA_CMD_SIZE)
        return DKB_ERR_ACK;
    return DKB_OK;
}

int dkb_get_nand_info(usb_dev_handle *udev, comm_protocol_flash_info_resp *resp)
{
    if (send_word(udev, get_nand_flash_info_command, TO_CONTROL) != 4)
        return DKB_ERR_ACK;
    uint8_t b[COMM_PROTOCOL_FLASH_INFO_RESP_SIZE];
    if (_usb_bulk_read(udev, USB_EP_BULK_IN, b, static_cast<int>(sizeof b), TO_REPLY) !=
        static_cast<int>(sizeof b))
        return DKB_ERR_ACK;
    if (resp) {
        resp->manu_id = get_le32(b + 0);
        resp->device_id = get_le32(b + 4);
        resp->no_of_blocks = get_le32(b + 8);
        resp->page_size = get_le32(b + 12);
        resp->block_size = get_le32(b + 16);
        resp->oob_size = get_le32(b + 20);
        resp->bus_width = get_le32(b + 24);
    }
    return DKB_OK;
}

// ---- Board control -----------------------------------------------------------------------------

int dkb_set_gpio(usb_dev_handle *udev, int gpio, int value)
{
    if (send_word(udev, set_gpio_command, TO_CONTROL) != 4)
        return DKB_ERR_TRANSFER;
    const uint32_t rec[2] = {static_cast<uint32_t>(gpio), static_cast<uint32_t>(value)};
    if (send_record(udev, rec, 2, TO_CONTROL) != COMM_PROTOCOL_SET_GPIO_CMD_SIZE)
        return DKB_ERR_TRANSFER;
    return DKB_OK;
}

int dkb_write_rtc(usb_dev_handle *udev, const struct tm *rtc_time)
{
    if (!rtc_time)
        return DKB_ERR_BAD_ARGS;
    if (send_word(udev, write_rtc_command, TO_CONTROL) != 4)
        return DKB_ERR_TRANSFER;
    // Wire order runs from the year down, unlike struct tm.
    const uint32_t rec[7] = {
        static_cast<uint32_t>(rtc_time->tm_year), static_cast<uint32_t>(rtc_time->tm_mon),
        static_cast<uint32_t>(rtc_time->tm_mday), static_cast<uint32_t>(rtc_time->tm_wday),
        static_cast<uint32_t>(rtc_time->tm_hour), static_cast<uint32_t>(rtc_time->tm_min),
        static_cast<uint32_t>(rtc_time->tm_sec),
    };
    if (send_record(udev, rec, 7, TO_CONTROL) != COMM_PROTOCOL_RTC_SIZE)
        return DKB_ERR_TRANSFER;
    return DKB_OK;
}

int dkb_read_rtc(usb_dev_handle *udev, struct tm *ret_rtc_time)
{
    if (send_word(udev, read_rtc_command, TO_CONTROL) != 4)
        return DKB_ERR_TRANSFER;
    uint8_t b[COMM_PROTOCOL_RTC_SIZE];
    if (_usb_bulk_read(udev, USB_EP_BULK_IN, b, static_cast<int>(sizeof b), TO_REPLY) !=
        static_cast<int>(sizeof b))
        return DKB_ERR_ACK;
    if (ret_rtc_time) {
        ret_rtc_time->tm_year = static_cast<int>(get_le32(b + 0));
        ret_rtc_time->tm_mon = static_cast<int>(get_le32(b + 4));
        ret_rtc_time->tm_mday = static_cast<int>(get_le32(b + 8));
        ret_rtc_time->tm_wday = static_cast<int>(get_le32(b + 12));
        ret_rtc_time->tm_hour = static_cast<int>(get_le32(b + 16));
        ret_rtc_time->tm_min = static_cast<int>(get_le32(b + 20));
        ret_rtc_time->tm_sec = static_cast<int>(get_le32(b + 24));
    }
    return DKB_OK;
}

int dkb_write_pmic_data(usb_dev_handle *udev, uint8_t addr, uint8_t value)
{
    if (send_word(udev, write_pmic_data_command, TO_CONTROL) != 4)
        return DKB_ERR_TRANSFER;
    const uint8_t rec[COMM_PROTOCOL_PMIC_RECORD_SIZE] = {addr, value, 0, 0};
    if (_usb_bulk_write(udev, USB_EP_BULK_OUT, rec, COMM_PROTOCOL_PMIC_RECORD_SIZE, TO_CONTROL) !=
        COMM_PROTOCOL_PMIC_RECORD_SIZE)
        return DKB_ERR_TRANSFER;
    return DKB_OK;
}

int dkb_read_pmic_data(usb_dev_handle *udev, uint8_t addr, uint8_t *value)
{
    if (send_word(udev, read_pmic_data_command, TO_CONTROL) != 4)
        return DKB_ERR_TRANSFER;
    const uint8_t rec[COMM_PROTOCOL_PMIC_RECORD_SIZE] = {addr, 0, 0, 0};
    if (_usb_bulk_write(udev, USB_EP_BULK_OUT, rec, COMM_PROTOCOL_PMIC_RECORD_SIZE, TO_CONTROL) !=
        COMM_PROTOCOL_PMIC_RECORD_SIZE)
        return DKB_ERR_TRANSFER;
    uint8_t resp[COMM_PROTOCOL_PMIC_RECORD_SIZE];
    if (_usb_bulk_read(udev, USB_EP_BULK_IN, resp, COMM_PROTOCOL_PMIC_RECORD_SIZE, TO_REPLY) !=
        COMM_PROTOCOL_PMIC_RECORD_SIZE)
        return DKB_ERR_ACK;
    if (value)
        *value = resp[0];
    return DKB_OK;
}

int dkb_software_reset_device(usb_dev_handle *udev)
{
    return send_word(udev, reset_command, TO_CONTROL) == 4 ? DKB_OK : DKB_ERR_TRANSFER;
}

int dkb_hardware_reset_device(usb_dev_handle *udev)
{
    return send_word(udev, hard_reset_command, TO_CONTROL) == 4 ? DKB_OK : DKB_ERR_TRANSFER;
}
