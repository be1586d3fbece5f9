// benchmark of leaving blank pages out (misc:skip_blank): one phone's flash time with and without
// it, on a virtual link of 40 MB/s (USB 2.0 high speed in practice) and at full speed, for three
// images: no blank page at all (the cost of looking for them), every other block blank (a file
// system padded to its partition), and UBI-like eraseblocks of a third data and two thirds
// trailing 0xFF pages. Each time is given against its floor from the same run: the bytes the
// phone's link carries (the DKB agent and the image bytes actually sent) over the link's rate; at
// full speed the rate is the bare virtual bus's, measured first.
//
// Prints a Markdown section; nothing here asserts on time.
// Usage: bench_blank [MiB of the image, default 64 [runs, best of which is given, default 3]]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_bus.h"
#include "bench_util.h"
#include "job/flashini_parser.h"
#include "station/station.h"
#include "usb/usb.h"
#include "usb/vbus.h"
#include "util/blank_pages.h"
#include "vphone/phone.h"

namespace
{

constexpr size_t PAGE = 2048, BLOCK = 131072;

struct Image {
    const char *name;
    std::string path;
    size_t sent = 0; // bytes sent with skip_blank
};

// The image of the given kind, pseudo-random data where it is not blank.
Image make_image(const std::filesystem::path &dir, const char *name, int kind, size_t mib)
{
    std::vector<uint8_t> img(mib << 20);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint8_t &c : img) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<uint8_t>(x);
    }
    for (size_t b = 0; b * BLOCK < img.size(); b++) {
        uint8_t *blk = img.data() + b * BLOCK;
        if (kind == 1 && b % 2 == 1)
            memset(blk, 0xFF, BLOCK);
        if (kind == 2) {
            const size_t data = (BLOCK / PAGE / 3) * PAGE;
            memcpy(blk, "UBI#", 4);
            memset(blk + data, 0xFF, BLOCK - data);
        }
    }
    Image im{name, (dir / ("image" + std::to_string(kind) + ".img")).string()};
    for (size_t at = 0; at < img.size(); at += BLOCK)
        im.sent += static_cast<size_t>(
            block_leading_bytes(img.data() + at, BLOCK, static_cast<int>(PAGE), 0));
    std::ofstream(im.path, std::ios::binary)
        .write(reinterpret_cast<const char *>(img.data()),
               static_cast<std::streamsize>(img.size()));
    return im;
}

flashini_content *make_job(const std::filesystem::path &dir, const Image &im, size_t mib,
                           bool skip_blank)
{
    const std::string ini = (dir / "flasher.ini").string();
    std::ofstream(ini) << "[misc]\ncrc = 1\nskip_blank = " << (skip_blank ? 1 : 0)
                       << "\n[map]\ntotal = 1\n[map1]\nfilename = " << im.path
                       << "\ndesc = image\nnand_loc = 0\nnand_loc_end = " << (mib << 20) << "\n";
    return flashini_parse_file(ini.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    const size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 64;
    const int runs = argc > 2 ? atoi(argv[2]) : 3;
    if (mib == 0 || mib > 1024 || runs < 1 || runs > 100) {
        fprintf(stderr, "usage: bench_blank [MiB 1..1024 [runs 1..100]]\n");
        return 2;
    }
    const std::vector<uint8_t> dkb = bench::read_file(BW_DKB_IMAGE_PATH);
    FILE *out = bench::report_stream();
    if (!out)
        return 1;

    bench::TempDir dir("bench-blank");
    Image images[] = {make_image(dir.path, "no blank page", 0, mib),
                      make_image(dir.path, "every other block blank", 1, mib),
                      make_image(dir.path, "UBI-like (1/3 data, 2/3 blank pages)", 2, mib)};
    const double bare = bench::bare_bus_rate(std::max<size_t>(mib, 64));
    const double whole = static_cast<double>(mib << 20);
    struct Link {
        const char *name;
        uint64_t bytes_per_sec; // 0: full speed
        double rate;            // bytes per second the floor is taken at
    } links[] = {{"40 MB/s", 40000000, 40e6}, {"full speed", 0, bare}};

    fprintf(out, "## Blank pages left out (skip_blank)\n\n");
    fprintf(out,
            "One phone, one image of %zu MiB (2048-byte pages, 64 a block), CRC-16 on every RAM "
            "block, best of %d runs, from plugging the phone in boot ROM mode to its result, with "
            "misc:skip_blank "
            "0 (every byte sent) and 1 (trailing blank pages left out, blank blocks erased). The "
            "floor is the bytes the link carries (DKB agent %zu bytes and the image bytes "
            "actually sent) over the link's rate; at full speed the rate is the bare virtual "
            "bus's in this run (%.0f MB/s). The ratio compares skip_blank 1 with 0 in this "
            "run.\n\n",
            mib, runs, dkb.size(), bare / 1e6);
    fprintf(out, "| link | image | skip_blank | image bytes sent | flash time | floor | time / "
                 "floor | against skip_blank 0 |\n"
                 "|---|---|---|---|---|---|---|---|\n");
    for (const Link &l : links) {
        for (const Image &im : images) {
            // Best of the runs, the two settings taking turns so drift in the machine's load
            // reaches both alike.
            double best[2] = {1e30, 1e30};
            for (int r = 0; r < runs; r++) {
                for (int skip : {0, 1}) {
                    flashini_content *job = make_job(dir.path, im, mib, skip != 0);
                    if (!job)
                        return 1;
                    const double s =
                        bench::flash_one(job, dkb, mib, l.bytes_per_sec, "sim-b1", "bench_blank");
                    flashini_destroy(job);
                    if (s < 0) {
                        fprintf(stderr, "bench_blank: the phone did not pass\n");
                        return 1;
                    }
                    best[skip] = std::min(best[skip], s);
                }
            }
            for (int skip : {0, 1}) {
                const double sent = skip ? static_cast<double>(im.sent) : whole;
                const double floor = (static_cast<double>(dkb.size()) + sent) / l.rate;
                char against[32] = "";
                if (skip)
                    snprintf(against, sizeof against, "%.2fx", best[1] / best[0]);
                fprintf(out, "| %s | %s | %d | %.1f MiB | %.2f s | %.2f s | %.2f | %s |\n", l.name,
                        im.name, skip, sent / (1 << 20), best[skip], floor, best[skip] / floor,
                        against);
            }
        }
    }
    fclose(out);
    return 0;
}
