// job layer: the job check (see job/job_check.h). Called on the main thread by --check and by
// the front-ends when their window opens.
#include "job/job_check.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "dkb/libdkb.h"
#include "job/onefi.h"
#include "util/blank_pages.h"
#include "util/bytes.h"

namespace
{

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string range_text(uint32_t start, uint32_t end)
{
    return format("0x%08X-0x%08X", start, end);
}

std::string text_of(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

bool overlap(uint32_t s1, uint32_t e1, uint32_t s2, uint32_t e2)
{
    return s1 < e2 && s2 < e1;
}

// What the station will find when it writes one image entry.
struct image_info {
    const flashini_partition_info *p = nullptr;
    std::string where; // names the entry and its file
    bool from_container = false;
    bool written = false; // not skipped
    bool missing_skipped = false;
    int64_t size = -1;  // image bytes (spare bytes included); -1 when unknown
    int64_t main = -1;  // main-area bytes; -1 when unknown
    int code = 0;       // the write's result at every phone when not 0
    std::string reason; // why, for code
};

// Erase sections the container holds (its entries come first in the job's list); -1 when the
// section table cannot be read. The parser has verified the container already.
int container_erase_count(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    unsigned char b[4];
    int count = 0;
    uint32_t n = 0;
    if (pread(fd, b, 4, ONEFI_NO_OF_SECTIONS_OFF) == 4)
        n = get_le32(b);
    else
        count = -1;
    for (uint32_t k = 0; count >= 0 && k < n; k++) {
        if (pread(fd, b, 4, static_cast<off_t>(onefi_table_end(k) + ONEFI_SECTION_TYPE_OFF)) != 4)
            count = -1;
        else if (get_le32(b) == ONEFI_ERASE)
            count++;
    }
    close(fd);
    return count;
}

std::vector<image_info> examine_images(const flashini_content &job, const job_geometry &g)
{
    std::vector<image_info> out;
    const flashini_partition_info_list *parts = job.partition_info_list;
    const std::string container = text_of(job.one_file_image, sizeof job.one_file_image);
    int from_file = 0, from_box = 0;
    for (int i = 0; parts && i < parts->no_of_partition_info; i++) {
        const flashini_partition_info &p = parts->partition_info[i];
        image_info im;
        im.p = &p;
        const std::string file = text_of(p.filename, sizeof p.filename);
        const std::string desc = text_of(p.desc, sizeof p.desc);
        im.from_container = !container.empty() && file == container;
        if (im.from_container)
            im.where =
                format("%s image %d \"%s\" (%s)", container.c_str(), ++from_box, desc.c_str(),
                       text_of(p.original_filename, sizeof p.original_filename).c_str());
        else
            im.where = format("[map%d] \"%s\" (%s)", ++from_file, desc.c_str(), file.c_str());
        im.written = p.skip_flash == 0;

        struct stat st;
        if (stat(p.filename, &st) != 0) {
            if (!im.written) {
                im.missing_skipped = true;
            } else {
                im.code = DKB_ERR_OPEN_FILE;
                im.reason = "the file is missing and the entry may not be skipped";
            }
        } else if (!S_ISREG(st.st_mode)) {
            im.code = DKB_ERR_FILE_MAPPING;
            im.reason = "the file is not a regular file";
        } else if (access(p.filename, R_OK) != 0) {
            im.code = DKB_ERR_OPEN_FILE;
            im.reason = "the file cannot be read";
        } else {
            const int64_t offset = p.offset_in_file;
            const int64_t length = p.file_size > 0 ? p.file_size : st.st_size - offset;
            if (offset < 0 || offset > st.st_size || offset + length > st.st_size) {
                im.code = DKB_ERR_FILE_RANGE;
                im.reason = format("its bytes (offset %d, %" PRId64 " bytes) lie outside the file "
                                   "of %lld bytes",
                                   p.offset_in_file, length, static_cast<long long>(st.st_size));
            } else if (length == 0) {
                im.code = DKB_ERR_FILE_EMPTY;
                im.reason = "the image holds no bytes";
            } else {
                im.size = length;
                im.main = length;
                if (p.image_with_oob) {
                    const int64_t unit = static_cast<int64_t>(g.page_size) + g.oob_size;
                    if (length % unit != 0) {
                        im.code = DKB_ERR_OOB_MISALIGNED;
                        im.reason = format("%" PRId64 " bytes are not a whole number of %u-byte "
                                           "pages with %u spare bytes",
                                           length, g.page_size, g.oob_size);
                    }
                    im.main = g.page_size * (length / unit);
                }
            }
        }
        out.push_back(std::move(im));
    }
    return out;
}

std::string erase_name(const flashini_content &job, int index, int container_erases)
{
    const flashini_erase_info &e = job.erase_info_list->erase_info[index];
    const std::string range = range_text(e.nand_loc_start, e.nand_loc_end);
    if (container_erases < 0)
        return format("erase range %d %s", index + 1, range.c_str());
    if (index < container_erases)
        return format("%s erase range %d %s", job.one_file_image, index + 1, range.c_str());
    return format("[erase%d] %s", index - container_erases + 1, range.c_str());
}

int erase_count_of_container(const flashini_content &job)
{
    return job.one_file_image[0] ? container_erase_count(job.one_file_image) : 0;
}

const char *bbm_method_text(int method)
{
    switch (method) {
    case FLASHINI_USE_EXIST_BBM:
        return "use the table found on the flash; a phone without one fails";
    case FLASHINI_INIT_NAKE_BBM:
        return "build a new table for a bare flash (every good block erased)";
    case FLASHINI_INIT_USED_BBM:
        return "build a new table for a used flash";
    case FLASHINI_USE_EXIST_BBM_IF_NOT_FOUND_INIT_USED_BBM:
        return "use the table found on the flash, else build one for a used flash";
    default:
        return nullptr;
    }
}

// SHA-256 of length bytes of a file from offset, as 64 hex digits; "" when it cannot be read.
std::string sha256_of(const char *path, int64_t offset, int64_t length)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    std::vector<unsigned char> buf(1 << 20);
    while (ok && length > 0) {
        ssize_t n = pread(fd, buf.data(), static_cast<size_t>(std::min<int64_t>(length, 1 << 20)),
                          static_cast<off_t>(offset));
        if (n <= 0) {
            ok = false;
            break;
        }
        ok = EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(n)) == 1;
        offset += n;
        length -= n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &digest_len) == 1;
    EVP_MD_CTX_free(ctx);
    close(fd);
    if (!ok)
        return "";
    std::string hex;
    for (unsigned i = 0; i < digest_len; i++)
        hex += format("%02x", digest[i]);
    return hex;
}

// How much of an image is blank, block by block as the station writes it (see
// dkb_flash_write_ex): whole blocks of 0xFF, and trailing 0xFF pages of the other blocks.
struct blank_info {
    bool read = false;        // the image could be read
    int64_t blocks = 0;       // eraseblocks the image spans (a short last one counts)
    int64_t blank_blocks = 0; // of them entirely 0xFF
    int64_t blank_pages = 0;  // trailing 0xFF pages of the other blocks
    int64_t skipped = 0;      // image bytes skip_blank does not send
};

blank_info blank_scan(const char *path, int64_t offset, int64_t length, const job_geometry &g,
                      int oob)
{
    blank_info b;
    const int64_t unit = static_cast<int64_t>(g.page_size) + oob;
    const int64_t each_block = unit * (g.block_size / g.page_size);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || each_block <= 0) {
        if (fd >= 0)
            close(fd);
        return b;
    }
    std::vector<unsigned char> buf(static_cast<size_t>(each_block));
    b.read = true;
    for (int64_t done = 0; done < length; done += each_block) {
        const int64_t n = std::min(each_block, length - done);
        int64_t got = 0;
        while (got < n) {
            ssize_t r = pread(fd, buf.data() + got, static_cast<size_t>(n - got),
                              static_cast<off_t>(offset + done + got));
            if (r <= 0)
                break;
            got += r;
        }
        if (got != n) {
            b.read = false;
            break;
        }
        const int64_t lead = block_leading_bytes(buf.data(), n, static_cast<int>(g.page_size), oob);
        b.blocks++;
        b.skipped += n - lead;
        if (lead == 0)
            b.blank_blocks++;
        else
            b.blank_pages += (n + unit - 1) / unit - (lead + unit - 1) / unit;
    }
    close(fd);
    return b;
}

// The first four bytes of an image are UBI's erase-counter magic.
bool starts_as_ubi(const char *path, int64_t offset)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char magic[4];
    const bool ubi =
        pread(fd, magic, 4, static_cast<off_t>(offset)) == 4 && memcmp(magic, "UBI#", 4) == 0;
    close(fd);
    return ubi;
}

// The absolute, lexically normal form of path (relative paths from the working directory, as
// the station opens them), with symbolic links resolved as far as the path exists.
std::string resolved_path(const std::string &path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec);
    if (ec)
        return path;
    fs::path real = fs::weakly_canonical(p, ec);
    return (ec ? p.lexically_normal() : real).string();
}

bool is_within(const std::string &path, const std::string &dir)
{
    const std::string d = dir.empty() || dir.back() != '/' ? dir + "/" : dir;
    return path.compare(0, d.size(), d) == 0;
}

std::string size_text(int64_t bytes)
{
    if (bytes >= (1 << 20))
        return format("%" PRId64 " bytes (%.1f MiB)", bytes,
                      static_cast<double>(bytes) / (1 << 20));
    if (bytes >= 1024)
        return format("%" PRId64 " bytes (%.1f KiB)", bytes, static_cast<double>(bytes) / 1024);
    return format("%" PRId64 " bytes", bytes);
}

// The plan's line on an image's blank share and the link time skip_blank saves at 40 MB/s.
std::string blank_text(const flashini_content &job, const flashini_partition_info &p, int64_t size,
                       const job_geometry &g)
{
    const int oob = p.image_with_oob ? static_cast<int>(g.oob_size) : 0;
    const blank_info b = blank_scan(p.filename, p.offset_in_file, size, g, oob);
    if (!b.read)
        return "blank: the image could not be read";
    std::string t = format("blank: %" PRId64 " of %" PRId64 " blocks, %" PRId64
                           " trailing pages of the other blocks (%.1f%% of the image, %s)",
                           b.blank_blocks, b.blocks, b.blank_pages,
                           100.0 * static_cast<double>(b.skipped) / static_cast<double>(size),
                           size_text(b.skipped).c_str());
    if (b.skipped == 0)
        return t;
    const double saved = static_cast<double>(b.skipped) / 40e6;
    if (p.nand_loc_start % g.block_size != 0)
        return t + "; the range does not start on a block boundary, so every byte is sent";
    if (job.skip_blank)
        return t + format("; not sent: %.2f s less a phone at 40 MB/s", saved);
    return t + format("; skip_blank = 1 would save %.2f s a phone at 40 MB/s", saved);
}

} // namespace

std::vector<job_finding> job_check_findings(const flashini_content &job, const job_geometry &g)
{
    std::vector<job_finding> out;
    auto problem = [&](const std::string &t) { out.push_back({true, t}); };

    const std::vector<image_info> images = examine_images(job, g);
    for (const image_info &im : images) {
        const flashini_partition_info &p = *im.p;
        const std::string range = range_text(p.nand_loc_start, p.nand_loc_end);
        if (im.missing_skipped) {
            out.push_back({false, im.where + ": the file is missing; the entry is skipped "
                                             "(skip_flash_if_file_not_exist)"});
            continue;
        }
        if (p.nand_loc_end <= p.nand_loc_start)
            problem(im.where + ": the range " + range + " ends at or before its start");
        if (im.code != 0)
            problem(im.where + ": " + im.reason + "; every phone fails with " +
                    std::to_string(im.code) + " (Write Failed)");
        const int64_t room = static_cast<int64_t>(p.nand_loc_end) - p.nand_loc_start;
        if (im.main > 0 && room > 0 && im.main > room)
            problem(im.where + format(": %" PRId64 " bytes do not fit its range %s (%" PRId64
                                      " bytes); every phone fails with %d (Write Failed)",
                                      im.main, range.c_str(), room, DKB_ERR_IMAGE_TOO_LONG));
        if (im.code == 0 && im.size > 0 && !job.skip_blank &&
            starts_as_ubi(p.filename, p.offset_in_file))
            out.push_back({false, im.where + ": a UBI image (it starts with UBI's \"UBI#\" "
                                             "header) written with misc:skip_blank = 0: its "
                                             "empty pages are programmed with 0xFF and a "
                                             "hardware ECC, and UBI, which takes them for "
                                             "erased, reads ECC errors once it writes them; set "
                                             "skip_blank = 1"});
    }
    for (size_t i = 0; i < images.size(); i++) {
        for (size_t j = i + 1; j < images.size(); j++) {
            const flashini_partition_info &a = *images[i].p, &b = *images[j].p;
            if (images[i].written && images[j].written &&
                overlap(a.nand_loc_start, a.nand_loc_end, b.nand_loc_start, b.nand_loc_end))
                problem(images[j].where + " " + range_text(b.nand_loc_start, b.nand_loc_end) +
                        " overlaps " + images[i].where + " " +
                        range_text(a.nand_loc_start, a.nand_loc_end) +
                        ", written before it: the later write (and the erase of the rest of its "
                        "range) destroys the earlier image");
        }
    }

    const flashini_erase_info_list *erase = job.erase_info_list;
    const int boxed = erase && erase->no_of_erase_info > 0 ? erase_count_of_container(job) : 0;
    for (int k = 0; erase && k < erase->no_of_erase_info; k++) {
        const flashini_erase_info &e = erase->erase_info[k];
        const std::string name = erase_name(job, k, boxed);
        if (e.nand_loc_end <= e.nand_loc_start) {
            problem(name + ": ends at or before its start");
            continue;
        }
        // Every erase range runs before the first image is written.
        for (const image_info &im : images)
            if (im.written &&
                overlap(e.nand_loc_start, e.nand_loc_end, im.p->nand_loc_start, im.p->nand_loc_end))
                problem(name + " overlaps " + im.where + " " +
                        range_text(im.p->nand_loc_start, im.p->nand_loc_end) +
                        ", which is written after the erase");
    }

    if (job.bbm_reloc_addr != 0 && job.bbm_reloc_end_addr != 0 &&
        static_cast<uint32_t>(job.bbm_reloc_end_addr) <= static_cast<uint32_t>(job.bbm_reloc_addr))
        problem("misc:bbm_reloc_end " +
                range_text(static_cast<uint32_t>(job.bbm_reloc_addr),
                           static_cast<uint32_t>(job.bbm_reloc_end_addr)) +
                ": the relocation area ends at or before its start");
    if (!bbm_method_text(job.init_bbm_method))
        problem(format("misc:init_nand_flash_bbm = %d is no BBM method (0 to 3); every phone "
                       "fails with -1 (config error in bbm)",
                       job.init_bbm_method));
    return out;
}

std::vector<job_finding> job_check_findings(const flashini_content &job,
                                            const std::string &job_path, const job_geometry &g)
{
    std::vector<job_finding> out = job_check_findings(job, g);
    std::string dir = std::filesystem::path(job_path).parent_path().string();
    dir = resolved_path(dir.empty() ? "." : dir);
    auto outside = [&](const std::string &where, const char *file) {
        const std::string real = resolved_path(file);
        if (!is_within(real, dir))
            out.push_back({false, where + ": the file lies outside the job's directory " + dir +
                                      " (it is " + real + ")"});
    };
    const std::string container = text_of(job.one_file_image, sizeof job.one_file_image);
    if (!container.empty())
        outside("one_file_image (" + container + ")", job.one_file_image);
    for (const image_info &im : examine_images(job, g))
        if (!im.from_container)
            outside(im.where, im.p->filename);
    return out;
}

int job_check_problem_count(const std::vector<job_finding> &findings)
{
    int n = 0;
    for (const job_finding &f : findings)
        n += f.problem;
    return n;
}

std::string job_check_plan(const flashini_content &job, const char *job_path,
                           const job_check_plugin &plugin, const job_geometry &g)
{
    std::string s;
    auto line = [&](const std::string &t) { s += t + "\n"; };
    auto on_off = [](int v) { return v ? "on" : "off"; };
    int step = 0;
    auto next = [&](const std::string &t) { line(format("%3d. ", ++step) + t); };

    const std::string container = text_of(job.one_file_image, sizeof job.one_file_image);
    line(
        std::string("Job: ") + job_path +
        (container.empty() ? ", a list of image files" : ", with the one-file image " + container));
    if (!container.empty()) {
        struct stat st;
        const int64_t size = stat(job.one_file_image, &st) == 0 ? st.st_size : 0;
        const char *c = job.creationtime;
        line(format(
            "  container: \"%s\", created %.4s-%.2s-%.2s %.2s:%.2s (UTC), %s",
            text_of(job.one_file_image_description, sizeof job.one_file_image_description).c_str(),
            c, c + 4, c + 6, c + 8, c + 10, size_text(size).c_str()));
        line("  container SHA-256: " + sha256_of(job.one_file_image, 0, size));
    }
    line(format("Switches: CRC on transfers %s, verify after write %s, CSV log %s, clock from the "
                "PC %s, reset after success %s",
                on_off(job.enable_crc), on_off(job.verify), on_off(job.logging),
                on_off(job.sync_pc_time), on_off(job.loop_test || job.reboot)));
    if (plugin.name)
        line(format("Plug-in: %s, reads %d bytes from 0x%08X for each phone%s", plugin.name,
                    plugin.extra_read_size, static_cast<uint32_t>(plugin.extra_read_addr),
                    plugin.extra_read_size == 0 ? " (so it is never called)" : ""));
    else
        line("Plug-in: none");
    line(format("Blank pages skipped (misc:skip_blank) %s.", on_off(job.skip_blank)));
    line(format("Sizes of images with spare bytes and blank shares assume %u-byte pages with %u "
                "spare bytes, %u pages a block.",
                g.page_size, g.oob_size, g.page_size ? g.block_size / g.page_size : 0));
    line("Steps, in the order the station runs them:");

    const flashini_gpio_info_list *bd = job.gpio_bd_info_list, *ad = job.gpio_ad_info_list;
    for (int i = 0; bd && i < bd->no_of_gpio_info; i++)
        next(format("Set GPIO %d to %d", bd->gpio_info[i].gpio, bd->gpio_info[i].value));
    next("Init NAND flash");
    if (job.bbm_reloc_addr != 0 && job.bbm_reloc_end_addr != 0)
        next("Set the BBM relocation area " +
             range_text(static_cast<uint32_t>(job.bbm_reloc_addr),
                        static_cast<uint32_t>(job.bbm_reloc_end_addr)) +
             ", then validate the BBM");
    else
        line("       (no BBM relocation area: the phone's own is kept)");
    if (job.num_of_chip_select != -1)
        next(format("Set NAND parameters: %d chip selects", job.num_of_chip_select));
    else
        line("       (chip selects not set: the phone's own are kept)");
    next("Get NAND flash info");
    const char *bbm = bbm_method_text(job.init_bbm_method);
    next(
        format("BBM method %d: %s", job.init_bbm_method, bbm ? bbm : "unknown, fails every phone"));

    const flashini_erase_info_list *erase = job.erase_info_list;
    const int boxed = erase && erase->no_of_erase_info > 0 ? erase_count_of_container(job) : 0;
    for (int k = 0; erase && k < erase->no_of_erase_info; k++) {
        const flashini_erase_info &e = erase->erase_info[k];
        next("Erase " + erase_name(job, k, boxed) + ", " +
             size_text(static_cast<int64_t>(e.nand_loc_end) - e.nand_loc_start));
    }

    for (const image_info &im : examine_images(job, g)) {
        const flashini_partition_info &p = *im.p;
        const int64_t room = static_cast<int64_t>(p.nand_loc_end) - p.nand_loc_start;
        // (The parser keeps the skip flag only for a missing file, so for a present one the
        // rule no longer matters: it is written.)
        // A file with a problem is never said to be present: the plan line names what the
        // problem line says.
        const std::string skip = im.from_container ? "always written (container image)"
                                 : im.code != 0    ? "fails: " + im.reason
                                                   : "written: its file is present";
        if (im.missing_skipped) {
            next("Skip " + im.where + ": the file is missing and the job allows skipping it");
            continue;
        }
        std::string fill = "?";
        if (im.main >= 0 && room > 0)
            fill = format("%.1f%%", 100.0 * static_cast<double>(im.main) / room);
        next("Write " + im.where + " to " + range_text(p.nand_loc_start, p.nand_loc_end) + ": " +
             (im.size >= 0 ? size_text(im.size) : std::string("size unknown")) + ", range " + fill +
             " full, " + (p.image_with_oob ? "with spare bytes" : "no spare bytes") + ", " + skip);
        if (im.size >= 0)
            line("       SHA-256 " + sha256_of(p.filename, p.offset_in_file, im.size));
        if (im.size > 0 && im.code == 0)
            line("       " + blank_text(job, p, im.size, g));
        if (job.verify)
            next("Verify " + im.where + ": read back and compared");
    }
    next("Write back BBM");
    for (int i = 0; ad && i < ad->no_of_gpio_info; i++)
        next(format("Set GPIO %d to %d", ad->gpio_info[i].gpio, ad->gpio_info[i].value));
    if (plugin.name && plugin.extra_read_size != 0)
        next(format("Plug-in %s judges the phone on %d bytes read from 0x%08X", plugin.name,
                    plugin.extra_read_size, static_cast<uint32_t>(plugin.extra_read_addr)));
    if (job.sync_pc_time)
        next("Set the phone's clock from the PC (UTC)");
    next(job.loop_test || job.reboot ? "Done: reset the phone"
                                     : "Done: wait until the phone is unplugged");
    return s;
}
