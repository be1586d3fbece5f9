// benchmark of the job layer: how fast a large one-file image is verified, at what memory cost,
// next to the system's md5sum on the same file; and the CRC-16 the agent transfers use.
//
// Prints figures only; nothing here asserts on time. Usage: bench_job [MiB] (default 256).
// The container is made in /tmp from pseudo-random bytes and removed at the end.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "job/flashini_parser.h"
#include "onefi_writer.h"
#include "util/crc16.h"

namespace
{

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// A /proc/self/status field in KiB (VmRSS, VmHWM), or -1.
long status_kib(const char *field)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0 && line[n] == ':')
            v = strtol(line + n + 1, nullptr, 10);
    fclose(f);
    return v;
}

// Resets VmHWM to the current RSS so the next peak is the operation's own.
void reset_peak()
{
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (f) {
        fputs("5", f);
        fclose(f);
    }
}

void fill_random(std::vector<uint8_t> &buf, uint64_t &state)
{
    for (size_t i = 0; i + 8 <= buf.size(); i += 8) {
        state += 0x9E3779B97F4A7C15ull; // splitmix64
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        memcpy(&buf[i], &z, 8);
    }
}

// Writes a container with one image section of mib MiB of pseudo-random bytes.
bool make_container(const std::string &path, size_t mib)
{
    size_t image_size = mib * 1024 * 1024;
    onefi_writer::container c;
    c.description = "benchmark";
    onefi_writer::section s;
    s.type = ONEFI_IMAGE;
    s.name = "random.img";
    s.desc = "random";
    s.offset = static_cast<uint32_t>(ONEFI_HEADER_SIZE + ONEFI_SECTION_SIZE);
    s.size = static_cast<uint32_t>(image_size);
    s.second = static_cast<uint32_t>(image_size);
    c.sections.push_back(s);
    std::vector<uint8_t> head = onefi_writer::build(c); // header and table, data follows
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
    std::vector<uint8_t> chunk(1024 * 1024);
    uint64_t state = 1;
    for (size_t i = 0; ok && i < mib; i++) {
        fill_random(chunk, state);
        ok = fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size();
    }
    ok = fclose(f) == 0 && ok;
    return ok && onefi_writer::reseal_file(path);
}

double time_parse(const std::string &path, long *peak_kib)
{
    flashini_content job;
    memset(&job, 0, sizeof job);
    reset_peak();
    long base = status_kib("VmRSS");
    auto t0 = clock_type::now();
    int rc = parse_one_1fi(&job, path.c_str());
    double s = seconds_since(t0);
    *peak_kib = status_kib("VmHWM") - base;
    free(job.erase_info_list);
    free(job.partition_info_list);
    free(job.gpio_bd_info_list);
    free(job.gpio_ad_info_list);
    if (rc != 0) {
        fprintf(stderr, "bench_job: the container did not verify\n");
        exit(1);
    }
    return s;
}

double time_md5sum(const std::string &path)
{
    std::string cmd = "md5sum '" + path + "' > /dev/null";
    auto t0 = clock_type::now();
    if (system(cmd.c_str()) != 0)
        return -1;
    return seconds_since(t0);
}

} // namespace

int main(int argc, char **argv)
{
    size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 256;
    if (mib == 0 || mib > 2000) {
        fprintf(stderr, "usage: bench_job [MiB, 1..2000]\n");
        return 2;
    }
    char tmpl[] = "/tmp/bw-bench-job-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return 1;
    close(fd);
    std::string path = tmpl;
    if (!make_container(path, mib)) {
        fprintf(stderr, "bench_job: cannot write %s\n", path.c_str());
        unlink(path.c_str());
        return 1;
    }
    double mb = (ONEFI_HEADER_SIZE + ONEFI_SECTION_SIZE + mib * 1048576.0) / 1e6;

    // Both readers see the file from the page cache: one warm-up pass, then the best of three.
    time_md5sum(path);
    double best_parse = 1e9, best_md5sum = 1e9;
    long peak = 0;
    for (int i = 0; i < 3; i++) {
        long p;
        double s = time_parse(path, &p);
        if (s < best_parse)
            best_parse = s;
        if (p > peak)
            peak = p;
        double m = time_md5sum(path);
        if (m >= 0 && m < best_md5sum)
            best_md5sum = m;
    }
    unlink(path.c_str());
    printf("container: %zu MiB of image data (%.1f MB), page cache warm, best of 3\n", mib, mb);
    printf("parse_one_1fi verify: %8.1f MB/s  (%.3f s)\n", mb / best_parse, best_parse);
    printf("md5sum (same file):   %8.1f MB/s  (%.3f s)\n", mb / best_md5sum, best_md5sum);
    printf("parse_one_1fi peak memory above base: %ld KiB\n", peak);

    std::vector<uint8_t> buf(64 * 1024 * 1024);
    uint64_t state = 7;
    fill_random(buf, state);
    unsigned int sink = 0;
    double best_crc = 1e9;
    for (int i = 0; i < 3; i++) {
        auto t0 = clock_type::now();
        sink ^= crc16(buf.data(), static_cast<uint32_t>(buf.size()));
        double s = seconds_since(t0);
        if (s < best_crc)
            best_crc = s;
    }
    printf("crc16:                %8.1f MB/s  (64 MiB in %.3f s, crc %04X)\n",
           buf.size() / 1e6 / best_crc, best_crc, sink & 0xFFFF);
    return 0;
}
