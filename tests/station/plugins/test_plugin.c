/* Plug-ins for the host's tests, one source built several ways:
 *   BW_NO_ERROR_STR  lacks plugin_get_error_str
 *   BW_INIT_NULL     plugin_init stores 7 and refuses
 *   BW_VERDICT=n     plugin_download_finish_cb answers n (default 0)
 *   BW_HANG          plugin_download_finish_cb never returns
 * Every plug-in's plugin_init stores 7 in errorno, which the host must not pass on. The last call's
 * arguments are kept for the test to inspect (test_plugin_last). */
#include <stdlib.h>
#include <unistd.h>
#include <string.h>

#include "station/bramblewick_plugin.h"

#ifndef BW_VERDICT
#define BW_VERDICT 0
#endif

struct test_plugin_call {
    int calls;
    int read_size;
    int program_okay;
    unsigned char first_bytes[8];
    char version[61];
};

static struct test_plugin_call last;
static int state_token;

BW_PLUGIN_EXPORT const struct test_plugin_call *test_plugin_last(void)
{
    return &last;
}

BW_PLUGIN_EXPORT void *plugin_init(int *errorno)
{
    *errorno = 7;
#ifdef BW_INIT_NULL
    return NULL;
#else
    return &state_token;
#endif
}

BW_PLUGIN_EXPORT const char *plugin_get_name(void)
{
    return "test plug-in";
}

BW_PLUGIN_EXPORT int plugin_download_finish_cb(void *plugin, struct usb_dev_handle *udev,
                                               char *read_buf, int read_size, int program_okay,
                                               char *version)
{
    (void)udev;
    if (plugin != &state_token)
        return 99;
#ifdef BW_HANG
    for (;;)
        pause();
#endif
    /* Called from download threads; the tests run one phone at a time through here. */
    last.calls++;
    last.read_size = read_size;
    last.program_okay = program_okay;
    memcpy(last.first_bytes, read_buf, read_size < 8 ? (size_t)read_size : 8);
    strncpy(last.version, version, sizeof last.version - 1);
    return BW_VERDICT;
}

BW_PLUGIN_EXPORT void plugin_finalize(void *plugin)
{
    (void)plugin;
}

#ifndef BW_NO_ERROR_STR
BW_PLUGIN_EXPORT const char *plugin_get_error_str(int code)
{
    return code ? "failed" : "ok";
}
#endif
