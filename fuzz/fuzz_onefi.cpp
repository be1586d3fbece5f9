// fuzz target of the job layer: arbitrary bytes as a one-file image through parse_one_1fi.
//
// The first input byte picks the mode: even means "seal" (store the right MD5 over bytes 56..end
// before parsing, so the fuzzer gets past the checksum into the section table and the image
// range checks); odd means the bytes are parsed as they are (magic, checksum, short files).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "job/flashini_parser.h"
#include "job/onefi.h"
#include "util/md5.h"

namespace
{

std::string g_path;

void set_up()
{
    char tmpl[] = "/tmp/bw-fuzz-onefi-XXXXXX";
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
    if (size == 0)
        return 0;
    if (g_path.empty())
        set_up();
    bool seal = (data[0] & 1) == 0;
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (seal && bytes.size() >= ONEFI_CHECKED_FROM) {
        MD5_CTX ctx;
        MD5Init(&ctx);
        MD5Update(&ctx, bytes.data() + ONEFI_CHECKED_FROM, bytes.size() - ONEFI_CHECKED_FROM);
        MD5Final(&ctx);
        memcpy(bytes.data() + ONEFI_CHECKSUM_OFF, ctx.digest, ONEFI_CHECKSUM_SIZE);
    }
    FILE *f = fopen(g_path.c_str(), "wb");
    if (!f)
        abort();
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        abort();
    fclose(f);

    flashini_content job;
    memset(&job, 0, sizeof job);
    if (parse_one_1fi(&job, g_path.c_str()) == 0) {
        // every entry must point inside the file it names
        const flashini_partition_info_list *images = job.partition_info_list;
        for (int i = 0; i < images->no_of_partition_info; i++) {
            const flashini_partition_info &e = images->partition_info[i];
            if (e.offset_in_file < 0 || e.file_size < 0 ||
                static_cast<uint64_t>(e.offset_in_file) + static_cast<uint64_t>(e.file_size) >
                    bytes.size())
                abort();
        }
    }
    free(job.erase_info_list);
    free(job.partition_info_list);
    free(job.gpio_bd_info_list);
    free(job.gpio_ad_info_list);
    return 0;
}
