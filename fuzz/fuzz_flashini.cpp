// fuzz target of the job layer: arbitrary bytes as flasher.ini through flashini_parse_file.
//
// The bytes are written to a private temporary file (iniparser reads files only), parsed, and
// any job released, so AddressSanitizer sees leaks and over-reads in the reader and its guards.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "job/flashini_parser.h"

namespace
{

std::string g_path;

void set_up()
{
    char tmpl[] = "/tmp/bw-fuzz-flashini-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        abort();
    close(fd);
    g_path = tmpl;
    atexit([] { unlink(g_path.c_str()); });
    // The readers' diagnostics (fprintf to stderr) would drown the fuzzer's output. Only the
    // stderr stream variable is pointed at /dev/null: file descriptor 2 stays open, so libFuzzer
    // (which keeps its own copy of the original stream) and sanitizer reports still show.
    FILE *null = fopen("/dev/null", "w");
    if (!null)
        abort();
    stderr = null;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_path.empty())
        set_up();
    FILE *f = fopen(g_path.c_str(), "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);
    flashini_destroy(flashini_parse_file(g_path.c_str()));
    return 0;
}
