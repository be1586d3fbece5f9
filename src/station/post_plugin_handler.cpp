// station core: the post-flash plug-in host. plugin_handler_init is called once by start-up;
// the getters and the per-phone call by the download threads. The plug-in itself runs in the
// helper program, one process per start-up check and per phone (plugin_process.cpp).
#include "station/post_plugin_handler.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

#include <iniparser.h>

#include "util/bytes.h"

namespace
{

struct plugin_func_priv {
    char dll_name[4096];
    unsigned int extra_read_addr;
    unsigned int extra_read_size;
    int timeout_ms;
    std::string host_path; // the helper program
    std::string name;      // plugin_get_name's text at the start-up check
    std::string output_dir; // where each call's output goes; set before the first phone
};

// Unsigned number as the INI reader gives it: decimal, 0x hexadecimal or 0 octal; text that is
// not a number reads as 0, as the platform's reader did. A number that does not fit in 32 bits
// is refused (false) rather than cut: 99999999999 would otherwise quietly become a 1.2 GB
// read-back for every phone.
bool read_unsigned(dictionary *d, const char *key, unsigned int *value)
{
    *value = 0;
    const char *s = iniparser_getstring(d, key, nullptr);
    if (!s)
        return true;
    errno = 0;
    long long v = strtoll(s, nullptr, 0);
    if (errno == ERANGE || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) {
        fprintf(stderr, "post_plugin.ini: %s does not fit in 32 bits: %s\n", key, s);
        return false;
    }
    *value = static_cast<unsigned int>(v);
    return true;
}

// Seconds, fractions allowed, more than 0 and at most a day; absent: the default.
bool read_timeout(dictionary *d, int *timeout_ms)
{
    *timeout_ms = POST_PLUGIN_DEFAULT_TIMEOUT_S * 1000;
    const char *s = iniparser_getstring(d, "plugin:timeout", nullptr);
    if (!s)
        return true;
    char *end = nullptr;
    double v = strtod(s, &end);
    if (end == s || *end != '\0' || !std::isfinite(v) || v * 1000 < 1 || v > 86400) {
        fprintf(stderr,
                "post_plugin.ini: plugin:timeout is not a number of seconds from "
                "0.001 to 86400: %s\n",
                s);
        return false;
    }
    *timeout_ms = static_cast<int>(std::lround(v * 1000));
    return true;
}

plugin_request request_of(const plugin_func_priv *priv, uint32_t kind)
{
    plugin_request req;
    req.kind = kind;
    req.dll_name = priv->dll_name;
    return req;
}

} // namespace

void *plugin_handler_init(int *errorno, const char *ini_path, const char *host_path)
{
    *errorno = 0;
    if (!ini_path || access(ini_path, R_OK) != 0)
        return nullptr; // no plug-in configured

    auto *priv = new (std::nothrow) plugin_func_priv();
    if (!priv) {
        *errorno = ERROR_POST_PLUGIN_LOAD_DLL_FAILED;
        return nullptr;
    }
    dictionary *d = iniparser_load(ini_path);
    if (!d) {
        // Present and readable but not an INI file: a plug-in may be meant, and none can be
        // named. Refusing is safer than running phones past an intended check.
        delete priv;
        *errorno = ERROR_POST_PLUGIN_NO_DLL_NAME;
        return nullptr;
    }
    copy_text_field(priv->dll_name, sizeof priv->dll_name,
                    iniparser_getstring(d, "plugin:dll_name", ""));
    // All are read before any is tested.
    const bool numbers_ok = read_unsigned(d, "plugin:extra_read_addr", &priv->extra_read_addr) &
                            read_unsigned(d, "plugin:extra_read_size", &priv->extra_read_size) &
                            read_timeout(d, &priv->timeout_ms);
    iniparser_freedict(d);

    // A configuration whose numbers cannot be taken as written names no usable plug-in.
    if (priv->dll_name[0] == '\0' || !numbers_ok) {
        delete priv;
        *errorno = ERROR_POST_PLUGIN_NO_DLL_NAME;
        return nullptr;
    }
    priv->host_path = host_path ? host_path : plugin_host_default_path();

    // Loading, the five exports and plugin_init are checked now, in a helper of their own, so a
    // plug-in that cannot start stops the station here and not at its first phone.
    plugin_reply reply;
    int r = plugin_process_run(priv->host_path, request_of(priv, PLUGIN_KIND_CHECK), nullptr,
                               priv->timeout_ms, nullptr, &reply);
    if (r != PLUGIN_RUN_ANSWERED || reply.errorno != 0) {
        *errorno = r != PLUGIN_RUN_ANSWERED || reply.errorno < ERROR_POST_PLUGIN_LOAD_DLL_FAILED ||
                           reply.errorno > ERROR_POST_PLUGIN_INIT_DLL_FAILED
                       ? ERROR_POST_PLUGIN_LOAD_DLL_FAILED
                       : static_cast<int>(reply.errorno);
        delete priv;
        return nullptr;
    }
    priv->name = reply.name;
    *errorno = 0;
    return priv;
}

const char *plugin_handler_get_name(void *handle)
{
    return static_cast<plugin_func_priv *>(handle)->name.c_str();
}

int plugin_handler_get_extra_read_addr(void *handle)
{
    return static_cast<int>(static_cast<plugin_func_priv *>(handle)->extra_read_addr);
}

int plugin_handler_get_extra_read_size(void *handle)
{
    return static_cast<int>(static_cast<plugin_func_priv *>(handle)->extra_read_size);
}

int plugin_handler_get_timeout_ms(void *handle)
{
    return static_cast<plugin_func_priv *>(handle)->timeout_ms;
}

void plugin_handler_set_output_dir(void *handle, const std::string &dir)
{
    static_cast<plugin_func_priv *>(handle)->output_dir = dir;
}

int plugin_handler_judge(void *handle, const plugin_shared_buffer *buf, int program_okay,
                         const char *one_file_image_version, const std::atomic<int> *cancel,
                         int *verdict)
{
    auto *priv = static_cast<plugin_func_priv *>(handle);
    plugin_request req = request_of(priv, PLUGIN_KIND_CALL);
    req.program_okay = program_okay;
    req.version.assign(one_file_image_version ? one_file_image_version : "",
                       one_file_image_version ? strnlen(one_file_image_version, PLUGIN_TEXT_MAX - 1)
                                              : 0);
    plugin_reply reply;
    *verdict = 1;
    switch (plugin_process_run(priv->host_path, req, buf, priv->timeout_ms, cancel, &reply,
                               priv->output_dir)) {
    case PLUGIN_RUN_ANSWERED:
        if (reply.errorno != 0) {
            fprintf(stderr, "bramblewick-plugin-host: the plug-in did not start (%u)\n",
                    reply.errorno);
            return POST_PLUGIN_NOT_RUN;
        }
        *verdict = reply.verdict;
        return POST_PLUGIN_ANSWERED;
    case PLUGIN_RUN_TIMED_OUT:
        return POST_PLUGIN_TIMED_OUT;
    case PLUGIN_RUN_CRASHED:
        return POST_PLUGIN_CRASHED;
    case PLUGIN_RUN_CANCELLED:
        return POST_PLUGIN_CANCELLED;
    default:
        return POST_PLUGIN_NOT_RUN;
    }
}

int plugin_handler_download_finish_cb(void *handle, usb_dev_handle *udev, char *preadbuf,
                                      int read_size, int program_okay, char *one_file_image_version)
{
    (void)udev; // a device handle means nothing in another process
    plugin_shared_buffer buf;
    if (plugin_shared_buffer_alloc(&buf, read_size) != 0)
        return 1;
    memcpy(buf.data(), preadbuf, static_cast<size_t>(read_size));
    int verdict = 1;
    plugin_handler_judge(handle, &buf, program_okay, one_file_image_version, nullptr, &verdict);
    plugin_shared_buffer_free(&buf);
    return verdict;
}

void plugin_handler_finailize(void *handle)
{
    delete static_cast<plugin_func_priv *>(handle);
}
