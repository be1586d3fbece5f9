// fuzz support: helpers every target shares (see fuzz_util.h).
#include "fuzz_util.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace
{
std::string g_path;
}

const char *write_fuzz_file(const uint8_t *data, size_t size)
{
    if (g_path.empty()) {
        char tmpl[] = "/tmp/bw-fuzz-file-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0)
            abort();
        close(fd);
        g_path = tmpl;
        atexit([] { unlink(g_path.c_str()); });
    }
    FILE *f = fopen(g_path.c_str(), "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);
    return g_path.c_str();
}

void silence_diagnostics()
{
    static FILE *null = fopen("/dev/null", "w");
    if (!null)
        abort();
    stdout = null;
    stderr = null;
}
