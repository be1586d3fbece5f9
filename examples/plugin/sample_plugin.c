/* Sample post-flash plug-in: accepts a phone only when the bytes read back from its NAND start
 * with the image signature "BWIMG1" and are not all erased. Loaded by the station's helper program
 * bramblewick-plugin-host, in a process of its own per phone; see README.md. */
#include <stdlib.h>
#include <string.h>

#include "station/bramblewick_plugin.h"

#define SIGNATURE "BWIMG1"
#define SIGNATURE_LEN 6

enum {
    SAMPLE_OK = 0,
    SAMPLE_TOO_SHORT = 5, /* fewer bytes read back than the signature */
    SAMPLE_ERASED = 6,    /* the range reads back as erased NAND (all 0xFF) */
    SAMPLE_NO_SIGNATURE = 7,
};

struct sample_state {
    int calls_allowed; /* nothing mutable is needed; the state only proves init ran */
};

BW_PLUGIN_EXPORT void *plugin_init(int *errorno)
{
    struct sample_state *s = calloc(1, sizeof *s);
    if (!s) {
        *errorno = 1;
        return NULL;
    }
    s->calls_allowed = 1;
    return s;
}

BW_PLUGIN_EXPORT const char *plugin_get_name(void)
{
    return "Sample signature check";
}

BW_PLUGIN_EXPORT int plugin_download_finish_cb(void *plugin, struct usb_dev_handle *udev,
                                               char *read_buf, int read_size, int program_okay,
                                               char *one_file_image_version)
{
    (void)plugin;
    (void)udev; /* always NULL: the phone's device stays with the station */
    (void)program_okay;
    (void)one_file_image_version;
    if (read_size < SIGNATURE_LEN)
        return SAMPLE_TOO_SHORT;
    int erased = 1;
    for (int i = 0; i < read_size && erased; i++)
        erased = (unsigned char)read_buf[i] == 0xFF;
    if (erased)
        return SAMPLE_ERASED;
    if (memcmp(read_buf, SIGNATURE, SIGNATURE_LEN) != 0)
        return SAMPLE_NO_SIGNATURE;
    return SAMPLE_OK;
}

BW_PLUGIN_EXPORT void plugin_finalize(void *plugin)
{
    free(plugin);
}

BW_PLUGIN_EXPORT const char *plugin_get_error_str(int code)
{
    switch (code) {
    case SAMPLE_OK:
        return "accepted";
    case SAMPLE_TOO_SHORT:
        return "read-back range shorter than the signature";
    case SAMPLE_ERASED:
        return "read-back range is erased";
    case SAMPLE_NO_SIGNATURE:
        return "image signature missing";
    default:
        return "unknown";
    }
}
