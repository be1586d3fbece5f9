// benchmark of verify after write (misc:verify): one phone's flash time with and without the
// read-back, on a virtual link of 40 MB/s (USB 2.0 high speed in practice) and at full speed.
// Each time is given against its floor from the same run: the bytes the phone's link moves (the
// DKB agent, the image, and the image again when it is read back) divided by the link's rate;
// at full speed the rate is the bare virtual bus's, measured first.
//
// Prints a Markdown section; nothing here asserts on time.
// Usage: bench_verify [MiB of the image, default 32]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_bus.h"
#include "bench_util.h"
#include "job/flashini_parser.h"
#include "station/station.h"
#include "usb/usb.h"
#include "usb/vbus.h"
#include "vphone/phone.h"

namespace
{

// A temporary directory of this program's own.
struct TempDir : bench::TempDir {
    TempDir() : bench::TempDir("bench-verify") {}
};
using bench::read_file;

// One image of mib MiB of pseudo-random bytes, CRC on every RAM block, verify as asked.
flashini_content *make_job(const TempDir &dir, size_t mib, bool verify)
{
    const std::string image = (dir.path / "image.bin").string();
    if (!std::filesystem::exists(image))
        bench::write_random_file(image, mib);
    const std::string ini = (dir.path / "flasher.ini").string();
    std::ofstream(ini) << "[misc]\ncrc = 1\nverify = " << (verify ? 1 : 0)
                       << "\n[map]\ntotal = 1\n[map1]\nfilename = " << image
                       << "\ndesc = image\nnand_loc = 0\nnand_loc_end = " << (mib << 20) << "\n";
    return flashini_parse_file(ini.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    const size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 32;
    if (mib == 0 || mib > 1024) {
        fprintf(stderr, "usage: bench_verify [MiB 1..1024]\n");
        return 2;
    }
    const std::vector<uint8_t> dkb = read_file(BW_DKB_IMAGE_PATH);
    FILE *out = bench::report_stream();
    if (!out)
        return 1;

    TempDir dir;
    const double bare = bench::bare_bus_rate(std::max<size_t>(mib, 64));
    const double image = static_cast<double>(mib << 20);
    struct Link {
        const char *name;
        uint64_t bytes_per_sec; // 0: full speed
        double rate;            // bytes per second the floor is taken at
    } links[] = {{"40 MB/s", 40000000, 40e6}, {"full speed", 0, bare}};

    fprintf(out, "## Verify after write\n\n");
    fprintf(out,
            "One phone, one image of %zu MiB, CRC-16 on every RAM block, from plugging the phone "
            "in boot ROM mode to its result. The floor is the bytes its link moves (DKB agent "
            "%zu bytes, the image, and with verify the image once more) divided by the link's "
            "rate; at full speed the rate is the bare virtual bus's in this run (%.0f MB/s).\n\n",
            mib, dkb.size(), bare / 1e6);
    fprintf(out, "| link | verify | flash time | floor (bytes moved / link rate) | time / floor |\n"
                 "|---|---|---|---|---|\n");
    for (const Link &l : links) {
        double plain = 0;
        for (bool verify : {false, true}) {
            flashini_content *job = make_job(dir, mib, verify);
            if (!job)
                return 1;
            const double s =
                bench::flash_one(job, dkb, mib, l.bytes_per_sec, "sim-v1", "bench_verify");
            flashini_destroy(job);
            if (s < 0) {
                fprintf(stderr, "bench_verify: the phone did not pass\n");
                return 1;
            }
            const double floor =
                (static_cast<double>(dkb.size()) + image * (verify ? 2 : 1)) / l.rate;
            fprintf(
                out, "| %s | %s | %.2f s%s | %.2f s | %.2f |\n", l.name, verify ? "on" : "off", s,
                verify ? (" (+" + std::to_string(static_cast<int>((s / plain - 1) * 100 + 0.5)) +
                          " % against off)")
                             .c_str()
                       : "",
                floor, s / floor);
            plain = verify ? plain : s;
        }
    }
    fclose(out);
    return 0;
}
