// station core: the post-flash plug-in host over dlopen/dlsym. plugin_handler_init is called once
// by start-up; the getters and the per-phone call by the download threads.
#include "station/post_plugin_handler.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <unistd.h>

#include <iniparser.h>

#include "util/bytes.h"

namespace
{

struct plugin_func_priv {
    char dll_name[4096];
    unsigned int extra_read_addr;
    unsigned int extra_read_size;
    void *dll_handle;
    void *plugin_handle;
    LPPLUGIN_GET_NAME plugin_get_name;
    LPPLUGIN_FINALIZE plugin_finalize;
    LPPLUGIN_INIT plugin_init;
    LPPLUGIN_GET_ERROR_STR plugin_get_error_str;
    LPPLUGIN_DOWNLOAD_FINISH_CB plugin_download_finish_cb;
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

template <typename F> F lookup(void *dll, const char *name)
{
    return reinterpret_cast<F>(dlsym(dll, name));
}

} // namespace

void *plugin_handler_init(int *errorno, const char *ini_path)
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
    // All three are read before any is tested.
    const bool numbers_ok = read_unsigned(d, "plugin:extra_read_addr", &priv->extra_read_addr) &
                            read_unsigned(d, "plugin:extra_read_size", &priv->extra_read_size);
    iniparser_freedict(d);

    // A configuration whose read range cannot be taken as written names no usable plug-in.
    if (priv->dll_name[0] == '\0' || !numbers_ok) {
        delete priv;
        *errorno = ERROR_POST_PLUGIN_NO_DLL_NAME;
        return nullptr;
    }
    priv->dll_handle = dlopen(priv->dll_name, RTLD_NOW | RTLD_LOCAL);
    if (!priv->dll_handle) {
        delete priv;
        *errorno = ERROR_POST_PLUGIN_LOAD_DLL_FAILED;
        return nullptr;
    }
    priv->plugin_get_name = lookup<LPPLUGIN_GET_NAME>(priv->dll_handle, "plugin_get_name");
    priv->plugin_finalize = lookup<LPPLUGIN_FINALIZE>(priv->dll_handle, "plugin_finalize");
    priv->plugin_init = lookup<LPPLUGIN_INIT>(priv->dll_handle, "plugin_init");
    priv->plugin_get_error_str =
        lookup<LPPLUGIN_GET_ERROR_STR>(priv->dll_handle, "plugin_get_error_str");
    priv->plugin_download_finish_cb =
        lookup<LPPLUGIN_DOWNLOAD_FINISH_CB>(priv->dll_handle, "plugin_download_finish_cb");
    if (!priv->plugin_get_name || !priv->plugin_finalize || !priv->plugin_init ||
        !priv->plugin_get_error_str || !priv->plugin_download_finish_cb) {
        dlclose(priv->dll_handle);
        delete priv;
        *errorno = ERROR_POST_PLUGIN_LOAD_DLL_FUNC_FAILED;
        return nullptr;
    }
    priv->plugin_handle = priv->plugin_init(errorno);
    if (!priv->plugin_handle) {
        dlclose(priv->dll_handle);
        delete priv;
        *errorno = ERROR_POST_PLUGIN_INIT_DLL_FAILED;
        return nullptr;
    }
    *errorno = 0;
    return priv;
}

const char *plugin_handler_get_name(void *handle)
{
    auto *priv = static_cast<plugin_func_priv *>(handle);
    return priv->plugin_get_name();
}

int plugin_handler_get_extra_read_addr(void *handle)
{
    return static_cast<int>(static_cast<plugin_func_priv *>(handle)->extra_read_addr);
}

int plugin_handler_get_extra_read_size(void *handle)
{
    return static_cast<int>(static_cast<plugin_func_priv *>(handle)->extra_read_size);
}

int plugin_handler_download_finish_cb(void *handle, usb_dev_handle *udev, char *preadbuf,
                                      int read_size, int program_okay, char *one_file_image_version)
{
    auto *priv = static_cast<plugin_func_priv *>(handle);
    return priv->plugin_download_finish_cb(priv->plugin_handle, udev, preadbuf, read_size,
                                           program_okay, one_file_image_version);
}

void plugin_handler_finailize(void *handle)
{
    auto *priv = static_cast<plugin_func_priv *>(handle);
    if (!priv)
        return;
    if (priv->plugin_handle)
        priv->plugin_finalize(priv->plugin_handle);
    if (priv->dll_handle)
        dlclose(priv->dll_handle);
    delete priv;
}
