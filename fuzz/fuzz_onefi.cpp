// fuzz target of the job layer: arbitrary bytes as a one-file image through parse_one_1fi.
//
// The first input byte picks the mode: even means "seal" (store the right MD5 over bytes 56..end
// before parsing, so the fuzzer gets past the checksum into the section table and the image
// range checks); odd means the bytes are parsed as they are (magic, checksum, short files).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "job/flashini_parser.h"
#include "job/onefi.h"
#include "support/fuzz_util.h"
#include "util/md5.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static bool quiet = (silence_diagnostics(), true);
    (void)quiet;
    bool seal = (data[0] & 1) == 0;
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (seal && bytes.size() >= ONEFI_CHECKED_FROM) {
        MD5_CTX ctx;
        MD5Init(&ctx);
        MD5Update(&ctx, bytes.data() + ONEFI_CHECKED_FROM, bytes.size() - ONEFI_CHECKED_FROM);
        MD5Final(&ctx);
        memcpy(bytes.data() + ONEFI_CHECKSUM_OFF, ctx.digest, ONEFI_CHECKSUM_SIZE);
    }
    const char *path = write_fuzz_file(bytes.data(), bytes.size());

    flashini_content job;
    memset(&job, 0, sizeof job);
    if (parse_one_1fi(&job, path) == 0) {
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
