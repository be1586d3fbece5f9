// romcode: the boot ROM's USB download protocol, station side. Called by the DKB bootstrap
// (libromcode_helper.cpp); calls only the transport's usb_bulk_write/usb_bulk_read.
//
// Stateless: every call builds its frame in a buffer of its own, moves it and its answer, and
// returns 0 or a negative SOR_ERR_* code. Nothing is retried and nothing is printed here.
#include "romcode/romcode_protocol.h"
#include "romcode/sor_error_codes.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "util/bytes.h"

const uint8_t sor_boot_rom_preamble[SOR_PREAMBLE_SIZE] = {0x00, 0xD3, 0x02, 0x2B};

const sor_bootrom_errorcode SOR_ERROR_CODES[SOR_ERROR_CODES_COUNT] = {
    {0x00, "NoError"},
    {0x01, "NotFoundError"},
    {0x02, "GeneralError"},
    {0x03, "WriteError"},
    {0x04, "ReadError"},
    {0x05, "NotSupportedError"},
    {0x07, "PlatformBusyError"},
    {0x08, "PlatformReadyError"},
    {0x20, "EraseError"},
    {0x21, "ProgramError"},
    {0x22, "InvalidBootTypeError"},
    {0x23, "ProtectionRegProgramError"},
    {0x24, "NoOTPFound"},
    {0x40, "DFCDoubleBitError"},
    {0x41, "DFCSingleBitError"},
    {0x42, "DFCCS0BadBlockDetected"},
    {0x43, "DFCCS1BadBlockDetected"},
    {0x44, "DFCInitFailed"},
    {0x60, "InvalidOEMVerifyKeyError"},
    {0x61, "InvalidOBMImageError"},
    {0x62, "SecureBootFailureError"},
    {0x63, "InvalidSecureBootMethodError"},
    {0x64, "UnsupportedFlashError"},
    {0x65, "InvalidCaddoFIFOEntryError"},
    {0x66, "InvalidCaddoKeyNumberError"},
    {0x67, "InvalidCaddoKeyTypeError"},
    {0x68, "RSADigitalSignatureDecryptError"},
    {0x69, "InvalidHashValueLengthError"},
    {0x6A, "InvalidTIMImageError"},
    {0x6B, "HashSizeMismatch"},
    {0x6C, "InvalidKeyHashError"},
    {0x6D, "TIMNotFound"},
    {0x6E, "WTMStateError"},
    {0x6F, "FuseRWError"},
    {0x70, "InvalidOTPHashError"},
    {0x71, "CRCFailedError"},
    {0x90, "DownloadPortError"},
    {0x91, "DownloadError"},
    {0x92, "FlashNotErasedError"},
    {0x93, "InvalidKeyLengthError"},
    {0x94, "DownloadImageTooBigError"},
    {0x95, "UsbPreambleError"},
    {0x96, "UsbPreambleTimeOutError"},
    {0x97, "UartReadWriteTimeOutError"},
    {0x98, "UnknownImageError"},
    {0x99, "MessageBufferFullError"},
    {0x9A, "NoEnumerationResponseTimeOutError"},
    {0x9B, "UnknownProtocolCmd"},
    {0xB0, "JtagReEnableError"},
    {0xB1, "JtagReEnableOEMPubKeyError"},
    {0xB2, "JtagReEnableOEMSignedPassWdError"},
    {0xB3, "JtagReEnableTimeOutError"},
    {0xB4, "JtagReEnableOEMKeyLengthError"},
};

const char *sor_bootrom_error_description(uint8_t code)
{
    for (const sor_bootrom_errorcode &row : SOR_ERROR_CODES) {
        if (row.code == code)
            return row.description;
    }
    return nullptr;
}

void sor_bootrom_command_put(const sor_bootrom_command *c, uint8_t *out)
{
    out[0] = c->cmd;
    out[1] = c->seq;
    out[2] = c->cid;
    out[3] = c->flags;
    put_le32(out + 4, c->len);
    if (c->len)
        memcpy(out + SOR_COMMAND_HEAD_SIZE, c->data, c->len);
}

void sor_bootrom_response_get(const uint8_t *in, size_t n, sor_bootrom_response *r)
{
    uint8_t raw[SOR_RESPONSE_SIZE] = {};
    memcpy(raw, in, n < sizeof(raw) ? n : sizeof(raw));
    r->cmd = raw[0];
    r->seq = raw[1];
    r->cid = raw[2];
    r->status = raw[3];
    r->flags = raw[4];
    r->len = raw[5];
    memcpy(r->data, raw + SOR_RESPONSE_HEAD_SIZE, SOR_RESPONSE_MAX_DATA);
}

// The transport already loops until a request is complete; these add nothing but the fixed
// endpoints and the rule that a partial result never counts. A negative result is passed on.
static int _usb_bulk_write(usb_dev_handle *dev, int ep, const uint8_t *bytes, int size, int timeout)
{
    (void)ep;
    int done = 0;
    while (done < size) {
        int r = usb_bulk_write(dev, USB_EP_BULK_OUT,
                               reinterpret_cast<char *>(const_cast<uint8_t *>(bytes)) + done,
                               size - done, timeout);
        if (r < 0)
            return r;
        if (r == 0) // a transport that moves nothing would loop forever: give up
            return done;
        done += r;
    }
    return size;
}

static int _usb_bulk_read(usb_dev_handle *dev, int ep, uint8_t *bytes, int size, int timeout)
{
    (void)ep;
    int done = 0;
    while (done < size) {
        int r = usb_bulk_read(dev, USB_EP_BULK_IN, reinterpret_cast<char *>(bytes) + done,
                              size - done, timeout);
        if (r < 0)
            return r;
        if (r == 0)
            return done;
        done += r;
    }
    return size;
}

// One command and its answer; resp_len is the exact number of answer data bytes expected.
static int sor_romcode_issue_command(usb_dev_handle *udev, uint8_t cmd_id, uint8_t seq,
                                     const unsigned char *cmd_buf, int cmd_size,
                                     sor_bootrom_response *resp, int resp_len)
{
    // 1. The frame: head and data in one buffer so they leave in one bulk write. A data
    //    command's frame is as large as the chunk the ROM granted; a frame that cannot be
    //    allocated (or sized) is reported like one that could not be written.
    if (cmd_size < 0 || cmd_size > INT_MAX - SOR_COMMAND_HEAD_SIZE)
        return SOR_ERR_WRITE;
    int frame_size = SOR_COMMAND_HEAD_SIZE + cmd_size;
    std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[frame_size]);
    if (!frame)
        return SOR_ERR_WRITE;
    sor_bootrom_command c = {cmd_id, seq, 0, 0, static_cast<uint32_t>(cmd_size), cmd_buf};
    sor_bootrom_command_put(&c, frame.get());

    // 2. Write it whole.
    if (_usb_bulk_write(udev, USB_EP_BULK_OUT, frame.get(), frame_size,
                        SOR_TIMEOUT_COMMAND_WRITE) != frame_size)
        return SOR_ERR_WRITE;

    // 3. The ROM does not answer a disconnect.
    if (cmd_id == SOR_CMD_DISCONNECT)
        return SOR_OK;

    // 4. Exactly the answer this command gets.
    uint8_t raw[SOR_RESPONSE_SIZE];
    int want = SOR_RESPONSE_HEAD_SIZE + resp_len;
    if (_usb_bulk_read(udev, USB_EP_BULK_IN, raw, want, SOR_TIMEOUT_ANSWER_READ) != want)
        return SOR_ERR_READ;
    sor_bootrom_response_get(raw, static_cast<size_t>(want), resp);

    // 5.-8. The answer's id first, then its status, then its length.
    if (resp->cmd != cmd_id)
        return SOR_ERR_ANSWER;
    if (resp->status != 0)
        return SOR_ERR_STATUS;
    if (resp->len != resp_len)
        return SOR_ERR_ANSWER;
    return SOR_OK;
}

int sor_romcode_send_premble(usb_dev_handle *udev)
{
    if (_usb_bulk_write(udev, USB_EP_BULK_OUT, sor_boot_rom_preamble, SOR_PREAMBLE_SIZE,
                        SOR_TIMEOUT_PREAMBLE_WRITE) != SOR_PREAMBLE_SIZE)
        return SOR_ERR_WRITE;
    uint8_t echo[SOR_PREAMBLE_SIZE];
    if (_usb_bulk_read(udev, USB_EP_BULK_IN, echo, SOR_PREAMBLE_SIZE, SOR_TIMEOUT_PREAMBLE_READ) !=
        SOR_PREAMBLE_SIZE)
        return SOR_ERR_READ;
    return memcmp(echo, sor_boot_rom_preamble, SOR_PREAMBLE_SIZE) == 0 ? SOR_OK : SOR_ERR_PREAMBLE;
}

int sor_romcode_get_version(usb_dev_handle *udev, sor_bootrom_version *ver)
{
    sor_bootrom_response resp;
    int r = sor_romcode_issue_command(udev, SOR_CMD_GET_VERSION, 0, nullptr, 0, &resp,
                                      SOR_VERSION_DATA_SIZE);
    if (r != SOR_OK)
        return r;
    const uint8_t *d = resp.data;
    // The version and processor words are shown most significant byte first.
    for (int i = 0; i < 4; i++) {
        ver->version[i] = static_cast<char>(d[3 - i]);
        ver->processor[i] = d[11 - i];
    }
    ver->date = get_le32(d + 4);
    return SOR_OK;
}

int sor_romcode_select_image(usb_dev_handle *udev, uint32_t *image_id)
{
    sor_bootrom_response resp;
    int r = sor_romcode_issue_command(udev, SOR_CMD_SELECT_IMAGE, 0, nullptr, 0, &resp, 4);
    if (r == SOR_OK)
        *image_id = get_le32(resp.data);
    return r;
}

int sor_romcode_verify_image(usb_dev_handle *udev)
{
    const unsigned char zero = 0x00;
    sor_bootrom_response resp;
    return sor_romcode_issue_command(udev, SOR_CMD_VERIFY_IMAGE, 0, &zero, 1, &resp, 0);
}

int sor_romcode_send_image(usb_dev_handle *udev, const unsigned char *buf, unsigned int size)
{
    uint32_t remaining = size;
    const unsigned char *pos = buf;
    uint8_t seq = 1; // header odd, data even; wraps at 256
    sor_bootrom_response resp;

    for (;;) {
        // 1. Announce what is left; the ROM answers with the size of the next chunk.
        uint8_t announce[4];
        put_le32(announce, remaining);
        int r = sor_romcode_issue_command(udev, SOR_CMD_DATA_HEADER, seq, announce, 4, &resp, 4);
        if (r != SOR_OK)
            return r;

        // 2. A grant the image cannot fill ends the transfer; so does a zero grant while bytes
        //    remain, which would otherwise repeat the same header for ever.
        uint32_t trunk_size = get_le32(resp.data);
        if (remaining < trunk_size || (trunk_size == 0 && remaining != 0))
            return SOR_ERR_ANSWER;

        // 3. Exactly the granted bytes, in one frame.
        r = sor_romcode_issue_command(udev, SOR_CMD_DATA, static_cast<uint8_t>(seq + 1), pos,
                                      static_cast<int>(trunk_size), &resp, 0);
        if (r != SOR_OK)
            return r;

        // 4. Done once nothing is left.
        remaining -= trunk_size;
        if (remaining == 0)
            return sor_romcode_issue_command(udev, SOR_CMD_DONE, 0, nullptr, 0, &resp, 0);

        // 5. Next chunk.
        pos += trunk_size;
        seq = static_cast<uint8_t>(seq + 2);
    }
}

int sor_romcode_disconnect(usb_dev_handle *udev)
{
    sor_bootrom_response resp;
    return sor_romcode_issue_command(udev, SOR_CMD_DISCONNECT, 0, nullptr, 0, &resp, 0);
}

int sor_romcode_get_message(usb_dev_handle *udev, sor_bootrom_response *resp)
{
    uint8_t frame[SOR_COMMAND_HEAD_SIZE] = {};
    frame[0] = SOR_CMD_GET_MESSAGE;
    if (_usb_bulk_write(udev, USB_EP_BULK_OUT, frame, SOR_COMMAND_HEAD_SIZE,
                        SOR_TIMEOUT_MESSAGE_WRITE) != SOR_COMMAND_HEAD_SIZE)
        return SOR_ERR_WRITE;

    uint8_t raw[SOR_RESPONSE_SIZE];
    int n = _usb_bulk_read(udev, USB_EP_BULK_IN, raw, SOR_RESPONSE_SIZE, SOR_TIMEOUT_MESSAGE_READ);
    if (n <= SOR_RESPONSE_HEAD_SIZE - 1)
        return SOR_ERR_READ;
    sor_bootrom_response_get(raw, static_cast<size_t>(n), resp);
    if (resp->cmd != SOR_CMD_GET_MESSAGE)
        return SOR_ERR_ANSWER;
    if (resp->status != 0)
        return SOR_ERR_STATUS;
    if (resp->len != n - SOR_RESPONSE_HEAD_SIZE)
        return SOR_ERR_ANSWER;
    return SOR_OK;
}
