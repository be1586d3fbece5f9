// developer tool of the job layer: mk1fi packs image files and job settings into a one-file
// image container. Not part of the station, which only reads containers; it shares the test
// writer (onefi_writer) so the tests, the examples and the tool make containers the same way.
//
//   mk1fi -o OUT [-d DESCRIPTION] [-t YYYYMMDDhhmm] [--crc N] [--bbm N] [--reloc START END]
//         [--chip-select N] SECTION...
//   SECTION: image:FILE:NAND_START:NAND_END[:DESC]   (FILE may not contain ':')
//            image-oob:FILE:NAND_START:NAND_END[:DESC]
//            erase:NAND_START:NAND_END
//            gpio_bd:GPIO:VALUE    gpio_ad:GPIO:VALUE
// Numbers take 0x hex or decimal. Sections are stored in the order given; the creation time
// defaults to now (UTC).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "onefi_writer.h"

namespace
{

int usage()
{
    fprintf(stderr, "usage: mk1fi -o OUT [-d DESCRIPTION] [-t YYYYMMDDhhmm] [--crc N] [--bbm N]\n"
                    "             [--reloc START END] [--chip-select N] SECTION...\n"
                    "SECTION: image:FILE:NAND_START:NAND_END[:DESC]\n"
                    "         image-oob:FILE:NAND_START:NAND_END[:DESC]\n"
                    "         erase:NAND_START:NAND_END\n"
                    "         gpio_bd:GPIO:VALUE | gpio_ad:GPIO:VALUE\n");
    return 2;
}

bool number(const std::string &text, uint32_t *out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(text.c_str(), &end, 0);
    if (errno || *end || v < -1 || v > 0xFFFFFFFFll)
        return false;
    *out = static_cast<uint32_t>(v); // -1 stores all ones
    return true;
}

// Splits at ':' into at most max_parts pieces; the last piece keeps any further colons.
std::vector<std::string> split(const std::string &s, size_t max_parts)
{
    std::vector<std::string> parts;
    size_t from = 0;
    while (parts.size() + 1 < max_parts) {
        size_t at = s.find(':', from);
        if (at == std::string::npos)
            break;
        parts.push_back(s.substr(from, at - from));
        from = at + 1;
    }
    parts.push_back(s.substr(from));
    return parts;
}

bool parse_section(const std::string &arg, onefi_writer::section *s)
{
    std::vector<std::string> p = split(arg, 5);
    const std::string &kind = p[0];
    if (kind == "image" || kind == "image-oob") {
        if (p.size() < 4 || !number(p[2], &s->first) || !number(p[3], &s->second))
            return false;
        s->type = ONEFI_IMAGE;
        size_t slash = p[1].rfind('/');
        s->name = slash == std::string::npos ? p[1] : p[1].substr(slash + 1); // its own name
        s->desc = p.size() > 4 ? p[4] : s->name;
        s->with_oob = kind == "image-oob";
        if (!onefi_writer::read_file(p[1], &s->data)) {
            fprintf(stderr, "mk1fi: cannot read %s\n", p[1].c_str());
            return false;
        }
        return true;
    }
    uint32_t type;
    if (kind == "erase")
        type = ONEFI_ERASE;
    else if (kind == "gpio_bd")
        type = ONEFI_GPIO_BD;
    else if (kind == "gpio_ad")
        type = ONEFI_GPIO_AD;
    else
        return false;
    s->type = type;
    return p.size() == 3 && number(p[1], &s->first) && number(p[2], &s->second);
}

std::string now_utc()
{
    time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[16];
    strftime(text, sizeof text, "%Y%m%d%H%M", &tm);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    onefi_writer::container c;
    c.creationtime = now_utc();
    std::string out;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](uint32_t *field) { return i + 1 < argc && number(argv[++i], field); };
        if (a == "-o" && i + 1 < argc) {
            out = argv[++i];
        } else if (a == "-d" && i + 1 < argc) {
            c.description = argv[++i];
        } else if (a == "-t" && i + 1 < argc) {
            c.creationtime = argv[++i];
            if (c.creationtime.size() != 12 ||
                c.creationtime.find_first_not_of("0123456789") != std::string::npos)
                return usage();
        } else if (a == "--crc") {
            if (!value(&c.enable_crc_download))
                return usage();
        } else if (a == "--bbm") {
            if (!value(&c.init_nand_flash_bbm_method))
                return usage();
        } else if (a == "--reloc") {
            if (!value(&c.bbm_reloc_addr) || !value(&c.bbm_reloc_end_addr))
                return usage();
        } else if (a == "--chip-select") {
            if (!value(&c.num_of_chip_select))
                return usage();
        } else {
            onefi_writer::section s;
            if (!parse_section(a, &s)) {
                fprintf(stderr, "mk1fi: bad section: %s\n", a.c_str());
                return usage();
            }
            c.sections.push_back(std::move(s));
        }
    }
    if (out.empty())
        return usage();
    if (c.description.size() > ONEFI_DESCRIPTION_SIZE) {
        fprintf(stderr, "mk1fi: the description holds at most %zu characters\n",
                ONEFI_DESCRIPTION_SIZE);
        return 2;
    }
    std::vector<uint8_t> bytes = onefi_writer::build(c);
    if (bytes.size() > 0x7FFFFFFF) {
        fprintf(stderr, "mk1fi: a container must stay below 2 GiB\n");
        return 1;
    }
    if (!onefi_writer::write_file(out, bytes)) {
        fprintf(stderr, "mk1fi: cannot write %s\n", out.c_str());
        return 1;
    }
    printf("%s: %zu sections, %zu bytes\n", out.c_str(), c.sections.size(), bytes.size());
    return 0;
}
