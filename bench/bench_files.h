// bench: the file helpers the station benchmark programs share (a temporary directory of their
// own, a whole file read into memory). Used on the programs' main threads only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench
{

inline std::vector<uint8_t> read_file(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
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
