// fuzz target of the plug-in host: arbitrary bytes as post_plugin.ini, read by
// plugin_handler_init.
//
// The target links with --wrap=dlopen, so no library named by the fuzzer's bytes is ever
// loaded: every load fails, as a dll_name that names no library would. An existing file that
// names no library must give error 1; one that names a library, error 2 after exactly one load
// attempt with that name; never a handle.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "station/post_plugin_handler.h"
#include "support/fuzz_util.h"

namespace
{
int g_loads = 0;
std::string g_last_name;
} // namespace

extern "C" void *__wrap_dlopen(const char *name, int)
{
    g_loads++;
    g_last_name = name ? name : "";
    return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (silence_diagnostics(), true); // iniparser's own complaints
    (void)once;
    const char *path = write_fuzz_file(data, size);
    g_loads = 0;
    g_last_name.clear();
    int err = -1;
    void *handle = plugin_handler_init(&err, path);
    if (handle)
        abort();
    if (err == ERROR_POST_PLUGIN_NO_DLL_NAME) {
        if (g_loads != 0)
            abort();
    } else if (err == ERROR_POST_PLUGIN_LOAD_DLL_FAILED) {
        if (g_loads != 1 || g_last_name.empty() || g_last_name.size() >= 4096)
            abort();
    } else {
        abort();
    }
    return 0;
}
