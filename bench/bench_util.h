// bench: what the station benchmark programs share: a temporary directory of their own, files
// read and written whole, a report stream apart from the protocol layers' stdout, wall and CPU
// clocks. Used on the programs' main threads only.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace bench
{

inline double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// User + system CPU seconds of the whole process so far.
inline double cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline std::vector<uint8_t> read_file(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// mib MiB of pseudo-random bytes (xorshift64 from a fixed seed, the same bytes every run) into
// path.
inline void write_random_file(const std::string &path, size_t mib)
{
    std::ofstream f(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t m = 0; m < mib; m++) {
        for (char &c : chunk) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            c = static_cast<char>(x);
        }
        f.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
}

// The protocol layers print progress dots and diagnostics to stdout: that goes to /dev/null, and
// the report to the stream returned (the old stdout), or null when that cannot be arranged.
inline FILE *report_stream()
{
    fflush(stdout);
    FILE *out = fdopen(dup(1), "w");
    if (!out || !freopen("/dev/null", "w", stdout))
        return nullptr;
    return out;
}

// A directory under /tmp named after the program, removed with everything in it at the end.
struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const char *name)
    {
        std::string tmpl = std::string("/tmp/bw-") + name + "-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            perror("mkdtemp");
            exit(1);
        }
        path = tmpl;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

} // namespace bench
