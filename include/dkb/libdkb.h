// dkb: the command protocol of the DKB download agent running in the phone's RAM. Called by the
// station's per-phone sequence (and the plug-in host through it); sits on the transport of
// usb/usb.h and nothing else.
//
// Every exchange is started by the station: a 4-byte command word, then the command's fixed-size
// record if it has one, then exactly the reply, message stream or follow-up exchanges of that
// command. The module keeps no state between calls; each call takes the opened agent device and
// may run on many threads at once, each on its own device.
//
// Results: 0 for success or one of the negative DKB_ERR_ codes below. Transport codes never leave
// an operation. Diagnostic lines go to standard output unless noted; progress steps also write
// one "." to standard output and flush it.
#pragma once

#include <cstdint>
#include <ctime>

#include "usb/usb.h"

// ---- Command words (sent exactly as stored) ----------------------------------------------------
inline constexpr unsigned char get_crc_command[4] = {0x08, 0xFF, 0x55, 0xAA};
inline constexpr unsigned char ack_command[4] = {0x80, 0x55, 0x55, 0xFF};
inline constexpr unsigned char set_addr_command[4] = {0x08, 0xFF, 0xAA, 0x55};
inline constexpr unsigned char set_len_command[4] = {0x02, 0x55, 0xFF, 0xAA};
inline constexpr unsigned char send_data_command[4] = {0x01, 0x55, 0xAA, 0xFF};
inline constexpr unsigned char get_data_command[4] = {0x04, 0xFF, 0x55, 0xAA};
inline constexpr unsigned char reset_command[4] = {0x40, 0xAA, 0xAA, 0xFF};
inline constexpr unsigned char hard_reset_command[4] = {0x80, 0xAA, 0xAA, 0xFF};
inline constexpr unsigned char set_gpio_command[4] = {0x80, 0x88, 0x88, 0xFF};
inline constexpr unsigned char write_pmic_data_command[4] = {0x80, 0x88, 0x77, 0xFF};
inline constexpr unsigned char read_pmic_data_command[4] = {0x80, 0x88, 0x66, 0xFF};
inline constexpr unsigned char write_rtc_command[4] = {0x80, 0x88, 0x55, 0xFF};
inline constexpr unsigned char read_rtc_command[4] = {0x80, 0x88, 0x44, 0xFF};
inline constexpr unsigned char init_nand_flash_command[4] = {0x01, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char init_sor_bbm_nake_flash_command[4] = {0x02, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char init_sor_bbm_used_flash_command[4] = {0x03, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char write_flash_command[4] = {0x04, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char read_flash_command[4] = {0x05, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char erase_flash_command[4] = {0x06, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char write_sor_bbm_command[4] = {0x07, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char get_nand_flash_info_command[4] = {0x08, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char nand_flash_bbm_reloc_area_command[4] = {0x09, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char nand_flash_para_command[4] = {0x0A, 0x00, 0xAA, 0xAA};
inline constexpr unsigned char validate_nand_bbm_command[4] = {0x0B, 0x00, 0xAA, 0xAA};

// ---- Message words of the agent's message stream (u32 little-endian) ---------------------------
enum : uint32_t {
    flash_msg_progress = 0xAABB0001,    // + 4-byte current value
    flash_msg_total = 0xAABB0002,       // + 4-byte total
    flash_msg_text = 0xAABB0003,        // + msg_length bytes of text, no terminator
    flash_msg_text_length = 0xAABB0004, // + 4-byte length of the next text(s)
    flash_msg_error = 0xAABB0005,       // + 4-byte device error code; stream ends
    flash_msg_done = 0xAABB0006,        // stream ends, success
};

// ---- Result codes ------------------------------------------------------------------------------
enum {
    DKB_OK = 0,
    DKB_ERR_MSG_READ = -1,        // reading a message word failed
    DKB_ERR_MSG_SHORT = -2,       // message word/payload short or failed; CRC reply failed
    DKB_ERR_LEN_OR_CRC_REQ = -3,  // sending a block length or the CRC request failed
    DKB_ERR_TEXT_TOO_LONG = -4,   // agent announced a text longer than 255 bytes
    DKB_ERR_UNKNOWN_MSG = -11,    // unknown message word
    DKB_ERR_ACK = -12,            // ack failed; NAND set-up / flash command send; reply read
    DKB_ERR_TRANSFER = -13,       // command word, record or data block send/read failed
    DKB_ERR_DEVICE = -14,         // the agent reported an error (code via device_err_code)
    DKB_ERR_CRC = -15,            // CRC of a data block differs
    DKB_ERR_OPEN_FILE = -16,      // opening a file failed
    DKB_ERR_ALLOC = -17,          // allocating a read buffer failed
    DKB_ERR_WRITE_FILE = -18,     // writing a file failed
    DKB_ERR_FILE_MAPPING = -20,   // creating a file mapping failed
    DKB_ERR_MAP_VIEW = -21,       // mapping a file into memory failed
    DKB_ERR_FILE_EMPTY = -22,     // an image file holds no data after the given offset
    DKB_ERR_OOB_MISALIGNED = -23, // data size is not a whole number of (page + OOB) units
    DKB_ERR_READ_SIZE = -26,      // the range to read is empty or negative
    DKB_ERR_FILE_RANGE = -27,     // offset or length reaches outside the image file
    DKB_ERR_IMAGE_TOO_LONG = -28, // data longer than its flash range (refused, nothing written)
    DKB_ERR_BAD_ARGS = -29,       // null buffer, or page/block sizes that cannot describe a NAND
    DKB_ERR_VERIFY = -30,         // read-back after writing differs from the image (verify)
};

// Device error codes carried by flash_msg_error that mean something to the station.
enum {
    DKB_DEV_ERR_NO_BBM = 2,          // after init_nand_flash_command: no bad-block table
    DKB_DEV_ERR_BBM_OUT_OF_AREA = 7, // after validate_nand_bbm_command: mapping out of area
};

// ---- Fixed values ------------------------------------------------------------------------------
enum : uint32_t {
    DKB_RAM_STAGING_ADDRESS = 0x5C010000, // where every flash block is staged in the agent's RAM
    DKB_MAX_MEM_BLOCK = 65537,            // largest RAM block; never a multiple of 512
    DKB_MAX_TEXT = 255,                   // longest text of the message stream
};

// ---- Records (host side; serialised field by field, little-endian) -----------------------------
struct comm_protocol_write_flash_cmd {
    uint32_t ram_address;
    uint32_t nand_address;
    uint32_t nand_end_address; // nand_address + staged bytes, rounded up to a whole block
    uint32_t size;             // main-area bytes to program
    uint32_t hwecc_enable;
    uint32_t write_oob;
    uint32_t use_bbm;
    uint32_t otp;
};
inline constexpr int COMM_PROTOCOL_WRITE_FLASH_CMD_SIZE = 32;

struct comm_protocol_read_flash_cmd {
    uint32_t ram_address;
    uint32_t nand_address;
    uint32_t size;
    uint32_t hwecc_enable;
    uint32_t read_oob;
    uint32_t use_bbm;
    uint32_t otp;
};
inline constexpr int COMM_PROTOCOL_READ_FLASH_CMD_SIZE = 28;

struct comm_protocol_erase_flash_cmd {
    uint32_t nand_address;
    uint32_t nand_end_address;
    uint32_t use_bbm;
};
inline constexpr int COMM_PROTOCOL_ERASE_FLASH_CMD_SIZE = 12;

struct comm_protocol_flash_info_resp {
    uint32_t manu_id;
    uint32_t device_id;
    uint32_t no_of_blocks;
    uint32_t page_size;
    uint32_t block_size;
    uint32_t oob_size;
    uint32_t bus_width;
};
inline constexpr int COMM_PROTOCOL_FLASH_INFO_RESP_SIZE = 28;

struct comm_protocol_rtc { // field order of the wire, not of struct tm
    uint32_t tm_year;
    uint32_t tm_mon;
    uint32_t tm_mday;
    uint32_t tm_wday;
    uint32_t tm_hour;
    uint32_t tm_min;
    uint32_t tm_sec;
};
inline constexpr int COMM_PROTOCOL_RTC_SIZE = 28;

struct comm_protocol_set_gpio_cmd {
    uint32_t gpio_no;
    uint32_t value;
};
inline constexpr int COMM_PROTOCOL_SET_GPIO_CMD_SIZE = 8;

struct comm_protocol_set_nand_flash_para_cmd {
    uint32_t num_of_chip_select;
};
inline constexpr int COMM_PROTOCOL_SET_NAND_FLASH_PARA_CMD_SIZE = 4;

struct comm_protocol_set_bbm_para_cmd {
    uint32_t bad_block_relocation_start_address;
    uint32_t bad_block_relocation_end_address;
};
inline constexpr int COMM_PROTOCOL_SET_BBM_PARA_CMD_SIZE = 8;

// PMIC records: 4 single bytes; the dummies carry nothing (sent as zero, ignored on receipt).
struct comm_protocol_write_pmic_data {
    uint8_t addr, data, dummy1, dummy2;
};
struct comm_protocol_read_pmic_data {
    uint8_t addr, dummy1, dummy2, dummy3;
};
struct comm_protocol_read_pmic_data_resp {
    uint8_t data, dummy1, dummy2, dummy3;
};
inline constexpr int COMM_PROTOCOL_PMIC_RECORD_SIZE = 4;

// ---- Progress ----------------------------------------------------------------------------------
// Called on the calling thread between two transfers; msg is static text ("Flash", "Write to ram",
// "Read from ram", "Write to flash", "Read from flash", "Verify flash"). cur is not clamped and may
// exceed range; range may be 0 or negative for an empty or inverted flash range: receivers must
// guard.
typedef void (*dkb_progress_callback)(void *user_data, const char *msg, int cur, int range);

// ---- Channel -----------------------------------------------------------------------------------
// One acknowledgement exchange: 0 or -12.
int dkb_ack(usb_dev_handle *udev);
// Reads the agent's message stream to its end: 0 on flash_msg_done, else a negative code. The
// device error code is stored through device_err_code (may be null) only on flash_msg_error.
int handle_flash_msg(usb_dev_handle *udev, int *device_err_code, dkb_progress_callback callback,
                     void *callback_data);

// ---- RAM transfer with CRC ---------------------------------------------------------------------
int dkb_write_mem(usb_dev_handle *udev, uint32_t ramloc, const unsigned char *pbuf, int size,
                  int enable_crc, dkb_progress_callback callback, void *callback_data);
int dkb_read_mem(usb_dev_handle *udev, uint32_t ramloc, unsigned char *pbuf, int size,
                 int enable_crc, dkb_progress_callback callback, void *callback_data);

// ---- NAND flash transfer -----------------------------------------------------------------------
// Flash addresses count main-area bytes; a range is [flash_loc, flash_loc_end). With oob_size
// non-zero the buffer holds pages each followed by their oob_size spare bytes.
//
// Writes size buffer bytes into the range and erases the rest of the range. Data longer than
// the range is refused with -28 before anything is sent.
int dkb_flash_write(usb_dev_handle *udev, const unsigned char *pbuf, int size, int flash_loc,
                    int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                    int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                    void *callback_data);
// The same with image_file_length bytes of a file from image_file_offset (length <= 0: to the end
// of the file). The file is read as it is sent, never mapped and never past its end: a range
// reaching outside the file is refused with -27, and so is a file cut short while it is sent;
// a file that cannot be opened gives -16.
int dkb_flash_write_from_file(usb_dev_handle *udev, const char *image_file_name,
                              int image_file_offset, int image_file_length, int flash_loc,
                              int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                              int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                              void *callback_data);
// What a write that leaves out blank pages did (see dkb_flash_write_ex).
struct dkb_write_stats {
    int64_t bytes_staged = 0; // buffer bytes sent to the staging area
    int blank_blocks = 0;     // blocks entirely 0xFF: erased, not written
    int blank_pages = 0;      // trailing 0xFF pages left out of the blocks that were written
};
// dkb_flash_write, and with skip_blank non-zero the way a NAND file system needs it: trailing
// pages of a block that are entirely 0xFF (spare bytes included when the buffer has them) are
// not staged, the block's write carries only its leading pages (the form of an image's last,
// partial block), and a block entirely 0xFF is not written but erased, a run of them in one
// erase command with bad-block management on. Those pages then read as erased, not as pages
// programmed with 0xFF (whose spare area holds a hardware ECC). The flash addresses, progress
// against the whole range and the erase of the rest of the range are those of dkb_flash_write;
// with skip_blank 0 every byte on the wire is too. A range that does not start on a block
// boundary is written whole: trimming there would leave parts of two blocks unerased. stats
// (may be null) is filled as far as the write went.
int dkb_flash_write_ex(usb_dev_handle *udev, const unsigned char *pbuf, int size, int flash_loc,
                       int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                       int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                       void *callback_data, int skip_blank, dkb_write_stats *stats);
int dkb_flash_write_from_file_ex(usb_dev_handle *udev, const char *image_file_name,
                                 int image_file_offset, int image_file_length, int flash_loc,
                                 int flash_loc_end, int enable_hw_ecc, int page_size,
                                 int block_size, int oob_size, int enable_crc, int otp,
                                 dkb_progress_callback callback, void *callback_data,
                                 int skip_blank, dkb_write_stats *stats);
// Verify after write: reads back the span dkb_flash_write_from_file with the same arguments
// programmed and compares it with the file's bytes: the main data, and the spare bytes too when
// oob_size is non-zero and enable_hw_ecc is 0 (with hardware ECC the phone writes its own spare
// bytes). Reads in groups of whole erase blocks from flash_loc (at most about 1 MiB held), so
// bad-block mapping applies exactly as for the write. Progress text "Verify flash", against the
// image's main bytes. 0, -30 at the first difference (its address on stderr), or the read's or
// the file's code.
int dkb_flash_verify_from_file(usb_dev_handle *udev, const char *image_file_name,
                               int image_file_offset, int image_file_length, int flash_loc,
                               int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                               int oob_size, int enable_crc, int otp,
                               dkb_progress_callback callback, void *callback_data);
// The same after a write with skip_blank: the pages the image holds as entirely 0xFF must
// also read erased in their spare bytes (when oob_size is non-zero), hardware ECC or not, since
// a page programmed with 0xFF differs from an erased one only there (for a range that starts on
// a block boundary: only there does the write leave pages out).
int dkb_flash_verify_from_file_ex(usb_dev_handle *udev, const char *image_file_name,
                                  int image_file_offset, int image_file_length, int flash_loc,
                                  int flash_loc_end, int enable_hw_ecc, int page_size,
                                  int block_size, int oob_size, int enable_crc, int otp,
                                  dkb_progress_callback callback, void *callback_data,
                                  int skip_blank);
// Bytes a dkb_flash_read of this range needs in pbuf (spare areas included when oob_size is
// non-zero); 0 or less for an empty or inverted range.
int64_t dkb_flash_read_buffer_size(int flash_loc, int flash_loc_end, int page_size, int oob_size);
// Reads the whole range into pbuf, which must hold dkb_flash_read_buffer_size(...) bytes.
int dkb_flash_read(usb_dev_handle *udev, unsigned char *pbuf, int flash_loc, int flash_loc_end,
                   int enable_hw_ecc, int page_size, int block_size, int oob_size, int enable_crc,
                   int otp, dkb_progress_callback callback, void *callback_data);
// Reads the range and saves it to image_file_name (created or truncated).
int dkb_flash_read_to_file(usb_dev_handle *udev, const char *image_file_name, int flash_loc,
                           int flash_loc_end, int enable_hw_ecc, int page_size, int block_size,
                           int oob_size, int enable_crc, int otp, dkb_progress_callback callback,
                           void *callback_data);
// Erases size flash bytes from flashloc; ignore_bbm non-zero erases without bad-block management.
int dkb_flash_erase(usb_dev_handle *udev, int flashloc, int size, int ignore_bbm);

// ---- NAND set-up and bad-block management ------------------------------------------------------
// *found_bbm: 1 when the agent found a bad-block table, 0 when it reported none (still success).
int dkb_init_nand(usb_dev_handle *udev, int *found_bbm);
int dkb_validate_bbm(usb_dev_handle *udev);
int dkb_init_bbm_nake_flash(usb_dev_handle *udev, dkb_progress_callback callback,
                            void *callback_data);
int dkb_init_bbm_used_flash(usb_dev_handle *udev, dkb_progress_callback callback,
                            void *callback_data);
int dkb_finialize_nand(usb_dev_handle *udev);
int dkb_set_nand_bbm_reloc_area(usb_dev_handle *udev, int flash_loc, int flash_loc_end);
int dkb_set_nand_flash_para(usb_dev_handle *udev, int num_of_chip_select);
int dkb_get_nand_info(usb_dev_handle *udev, comm_protocol_flash_info_resp *resp);

// ---- Board control -----------------------------------------------------------------------------
int dkb_set_gpio(usb_dev_handle *udev, int gpio, int value);
int dkb_write_rtc(usb_dev_handle *udev, const struct tm *rtc_time);
// Copies the seven fields into *ret_rtc_time; its other fields are left as they were.
int dkb_read_rtc(usb_dev_handle *udev, struct tm *ret_rtc_time);
int dkb_write_pmic_data(usb_dev_handle *udev, uint8_t addr, uint8_t value);
int dkb_read_pmic_data(usb_dev_handle *udev, uint8_t addr, uint8_t *value);
// Send the reset word and return at once, whatever the agent does next.
int dkb_software_reset_device(usb_dev_handle *udev);
int dkb_hardware_reset_device(usb_dev_handle *udev);
