// fuzz target of the plug-in host: arbitrary bytes as post_plugin.ini, read by
// plugin_handler_init.
//
// The target links with --wrap=posix_spawn, so the helper program that would load the library
// named by the fuzzer's bytes is never started: every start fails, as a missing helper would. An
// existing file that names no library (or a bad number) must give error 1 without a start; one
// that names a library, error 2 after exactly one start; never a handle.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>

#include "station/post_plugin_handler.h"
#include "support/fuzz_util.h"

namespace
{
int g_starts = 0;
} // namespace

extern "C" int __wrap_posix_spawn(pid_t *, const char *, const posix_spawn_file_actions_t *,
                                  const posix_spawnattr_t *, char *const[], char *const[])
{
    g_starts++;
    return ENOENT;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // iniparser's own complaints; no bubblewrap probe, whose start would count as the helper's.
    static bool once =
        (silence_diagnostics(), setenv("BRAMBLEWICK_PLUGIN_SANDBOX", "none", 1), true);
    (void)once;
    const char *path = write_fuzz_file(data, size);
    g_starts = 0;
    int err = -1;
    void *handle = plugin_handler_init(&err, path);
    if (handle)
        abort();
    if (err == ERROR_POST_PLUGIN_NO_DLL_NAME) {
        if (g_starts != 0)
            abort();
    } else if (err == ERROR_POST_PLUGIN_LOAD_DLL_FAILED) {
        if (g_starts != 1)
            abort();
    } else {
        abort();
    }
    return 0;
}
