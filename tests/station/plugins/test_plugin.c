/* Plug-ins for the host's tests, one source built several ways:
 *   BW_NO_ERROR_STR  lacks plugin_get_error_str
 *   BW_INIT_NULL     plugin_init stores 7 and refuses
 *   BW_VERDICT=n     plugin_download_finish_cb answers n (default 0)
 *   BW_SLEEP         the call never returns
 *   BW_CRASH         the call dereferences null
 *   BW_OVERRUN       the call writes past the end of its buffer
 *   BW_CRASH_ONCE    the call crashes when it is the first to create the file named by
 *                    $BW_TEST_PLUGIN_MARKER, and answers BW_VERDICT otherwise
 *   BW_READ_SHADOW   the call answers 1 when it can open /etc/shadow, 0 when it cannot
 *   BW_SETSID_CHILD  the call starts a child that locks the file named by $BW_TEST_PLUGIN_MARKER,
 *                    leaves its session with setsid() and sleeps; the call answers 0 once the
 *                    lock is held, or never when $BW_TEST_PLUGIN_HANG is set
 *   BW_CHATTY        the call writes a line with an escape sequence on standard output and
 *                    one on standard error, and answers 0
 * Every plug-in's plugin_init stores 7 in errorno, which the host must not pass on. Each call runs
 * in a helper process, so when $BW_TEST_PLUGIN_RECORD names a file, the call appends its
 * arguments there as one line: "<read_size> <program_okay> <udev null: 1> <first 6 bytes>
 * <version>". */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "station/bramblewick_plugin.h"

#ifndef BW_VERDICT
#define BW_VERDICT 0
#endif

static int state_token;

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

static void record(struct usb_dev_handle *udev, const char *buf, int size, int okay,
                   const char *version)
{
    const char *path = getenv("BW_TEST_PLUGIN_RECORD");
    FILE *f = path ? fopen(path, "a") : NULL;
    if (!f)
        return;
    fprintf(f, "%d %d %d %.6s %s\n", size, okay, udev == NULL, size >= 6 ? buf : "short", version);
    fclose(f);
}

BW_PLUGIN_EXPORT int plugin_download_finish_cb(void *plugin, struct usb_dev_handle *udev,
                                               char *read_buf, int read_size, int program_okay,
                                               char *version)
{
    if (plugin != &state_token)
        return 99;
    record(udev, read_buf, read_size, program_okay, version);
#if defined(BW_SLEEP)
    for (;;)
        pause();
#elif defined(BW_CRASH)
    *(volatile int *)(read_size > 0 ? NULL : read_buf) = 1;
#elif defined(BW_OVERRUN)
    memset(read_buf, 0, (size_t)read_size + 8192);
#elif defined(BW_READ_SHADOW)
    int shadow = open("/etc/shadow", O_RDONLY);
    if (shadow >= 0)
        close(shadow);
    return shadow >= 0;
#elif defined(BW_SETSID_CHILD)
    int ready[2];
    if (pipe(ready) != 0)
        return 98;
    if (fork() == 0) {
        const char *marker = getenv("BW_TEST_PLUGIN_MARKER");
        int fd = marker ? open(marker, O_RDONLY) : -1;
        if (fd >= 0 && flock(fd, LOCK_EX) == 0 && setsid() > 0 && write(ready[1], "1", 1) == 1)
            for (;;)
                pause();
        _exit(1);
    }
    close(ready[1]);
    char c = 0;
    if (read(ready[0], &c, 1) != 1)
        return 97;
    while (getenv("BW_TEST_PLUGIN_HANG"))
        pause();
    return 0;
#elif defined(BW_CHATTY)
    printf("chatty out \033]0;title\a\n");
    fprintf(stderr, "chatty err\n");
    return 0;
#elif defined(BW_CRASH_ONCE)
    const char *marker = getenv("BW_TEST_PLUGIN_MARKER");
    int fd = marker ? open(marker, O_CREAT | O_EXCL | O_WRONLY, 0600) : -1;
    if (fd >= 0) {
        close(fd);
        *(volatile int *)(read_size > 0 ? NULL : read_buf) = 1;
    }
#endif
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
