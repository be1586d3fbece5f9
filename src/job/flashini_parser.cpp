// job layer: reads flasher.ini into the job record.
//
// Called once by the station at start-up (and by tests, fuzzers and the example tooling). The
// INI syntax is read by iniparser 4.1; the few places where that library does not behave as a
// job file relies on are guarded here:
//  - a directory (or other non-regular file) loads as an empty dictionary: refused;
//  - an empty file would make a job that writes nothing and passes every phone: refused;
//  - a UTF-8 byte order mark makes line 1 a syntax error: the mark is skipped;
//  - iniparser_getint() stores strtol's 64-bit result in an int, so 2^31 and above wrap (and
//    0xFFFFFFFF reads as "missing"): integers are converted here and refused if they do not fit
//    in 32 bits;
//  - iniparser_getint/getboolean dereference the null value a section name maps to: every value
//    is fetched through job_string(), which treats that as absent.
#include "job/flashini_parser.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <iniparser.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/bytes.h"
#include "util/printable.h"

namespace
{

// Reading state: the dictionary and the job file's name for messages.
struct job_reader {
    dictionary *ini;
    const char *ini_name;
};

// ---- values -------------------------------------------------------------------------------

// iniparser returns its default pointer for a missing key; this address marks "absent".
char absent_marker;

// The value of key, or nullptr when the key is absent (or names a section, whose value is null).
const char *job_string(const job_reader &r, const char *key)
{
    const char *v = iniparser_getstring(r.ini, key, &absent_marker);
    return (v == &absent_marker) ? nullptr : v;
}

// Integer as strtol with base 0 reads it (decimal, 0x hex, 0 octal; stops at the first character
// that does not fit; no digits reads as 0). Missing: def. Returns -1 with a message when the
// number does not fit in 32 bits; a silent wrap would turn an address into another one.
int job_int(const job_reader &r, const char *key, int def, int *out)
{
    const char *v = job_string(r, key);
    if (!v) {
        *out = def;
        return 0;
    }
    errno = 0;
    long n = strtol(v, nullptr, 0);
    if (errno == ERANGE || n < INT_MIN || n > INT_MAX) {
        fprintf(stderr, "%s: value of %s does not fit in 32 bits: %s\n", r.ini_name, key,
                printable(v).c_str());
        return -1;
    }
    *out = static_cast<int>(n);
    return 0;
}

// Boolean by the first character: y Y t T 1 true, n N f F 0 false, anything else def.
int job_bool(const job_reader &r, const char *key, int def)
{
    const char *v = job_string(r, key);
    if (!v)
        return def;
    switch (v[0]) {
    case 'y':
    case 'Y':
    case 't':
    case 'T':
    case '1':
        return 1;
    case 'n':
    case 'N':
    case 'f':
    case 'F':
    case '0':
        return 0;
    default:
        return def;
    }
}

// A key name: "section:key", or a "%d" pattern with the entry number k filled in.
struct key_name {
    char text[96];
    // pattern is one of this file's own literals or section + "%d:..." built by key_name below
    key_name(const char *pattern, int k) { snprintf(text, sizeof text, pattern, k); }
    key_name(const char *section, const char *suffix)
    {
        snprintf(text, sizeof text, "%s%s", section, suffix);
    }
    const char *c_str() const { return text; }
};

// ---- lists --------------------------------------------------------------------------------

// Names a required key of a counted entry that is not there: its whole section, or the key in
// it. Returns -1, the reader's failure.
int missing(const job_reader &r, const char *key)
{
    const char *colon = strchr(key, ':');
    const std::string section(key, colon ? static_cast<size_t>(colon - key) : strlen(key));
    const char *v = job_string(r, key);
    if (!iniparser_find_entry(r.ini, section.c_str()))
        fprintf(stderr, "%s: [%s] is missing, though its list's total counts it\n", r.ini_name,
                section.c_str());
    else if (v)
        fprintf(stderr, "%s: [%s] %s = %s, which stands for a missing value\n", r.ini_name,
                section.c_str(), colon ? colon + 1 : key, printable(v).c_str());
    else
        fprintf(stderr, "%s: [%s] has no %s\n", r.ini_name, section.c_str(),
                colon ? colon + 1 : key);
    return -1;
}

// A required string; null after naming what is missing.
const char *required_string(const job_reader &r, const char *key)
{
    const char *v = job_string(r, key);
    if (!v)
        missing(r, key);
    return v;
}

// A required integer (-1 stands for "missing", as the station always read it); -1 after naming
// what is missing or out of range.
int required_int(const job_reader &r, const char *key, int *out)
{
    if (job_int(r, key, -1, out))
        return -1;
    return *out == -1 ? missing(r, key) : 0;
}

// Grows (or creates, when list is null) a list block by n zeroed entries. On failure returns
// nullptr and leaves list as it was.
template <typename List, typename Entry> List *grow_list(List *list, int old_count, int n)
{
    size_t count = static_cast<size_t>(old_count) + static_cast<size_t>(n);
    auto *grown = static_cast<List *>(realloc(list, sizeof(List) + count * sizeof(Entry)));
    if (!grown)
        return nullptr;
    memset(reinterpret_cast<char *>(grown) + sizeof(List) + old_count * sizeof(Entry), 0,
           static_cast<size_t>(n) * sizeof(Entry));
    return grown;
}

// Reads a "<section>:total" count. A negative count is refused (it would have to shorten a
// container's list or make a list of negative size). Every entry needs keys_per_entry keys of
// its own, so a count the dictionary cannot hold fails here as the first missing key would,
// silently, and before a huge block is allocated.
int read_total(const job_reader &r, const char *key, const char *entry_pattern, int old_count,
               int keys_per_entry, int *n)
{
    if (job_int(r, key, 0, n))
        return -1;
    if (*n < 0) {
        fprintf(stderr, "%s: %s is negative: %d\n", r.ini_name, key, *n);
        return -1;
    }
    if (static_cast<long long>(*n) * keys_per_entry > r.ini->n ||
        static_cast<long long>(old_count) + *n > INT_MAX) {
        // Name the first entry the count promises and the file lacks.
        for (int k = 1; k <= *n && k <= r.ini->n + 1; k++) {
            key_name section(entry_pattern, k);
            if (!iniparser_find_entry(r.ini, section.c_str())) {
                fprintf(stderr, "%s: %s = %d, but [%s] is missing\n", r.ini_name, key, *n,
                        section.c_str());
                return -1;
            }
        }
        fprintf(stderr, "%s: %s = %d, more entries than the file holds\n", r.ini_name, key, *n);
        return -1;
    }
    return 0;
}

void out_of_memory(const job_reader &r)
{
    fprintf(stderr, "%s: out of memory\n", r.ini_name);
}

// GPIO settings of one phase ("gpio_bd" or "gpio_ad"), appended after the container's.
int read_gpio_list(const job_reader &r, const char *section, flashini_gpio_info_list **list)
{
    key_name total_key(section, ":total");
    key_name entry_pattern(section, "%d");
    int old = *list ? (*list)->no_of_gpio_info : 0;
    int n;
    if (read_total(r, total_key.c_str(), entry_pattern.c_str(), old, 2, &n))
        return -1;
    auto *grown = grow_list<flashini_gpio_info_list, flashini_gpio_info>(*list, old, n);
    if (!grown) {
        out_of_memory(r);
        return -1;
    }
    *list = grown;
    grown->no_of_gpio_info = old + n;

    key_name gpio_pattern(section, "%d:gpio");
    key_name value_pattern(section, "%d:value");
    for (int k = 1; k <= n; k++) {
        flashini_gpio_info &e = grown->gpio_info[old + k - 1];
        if (required_int(r, key_name(gpio_pattern.c_str(), k).c_str(), &e.gpio) ||
            required_int(r, key_name(value_pattern.c_str(), k).c_str(), &e.value))
            return -1;
    }
    return 0;
}

int read_erase_list(const job_reader &r, flashini_erase_info_list **list)
{
    int old = *list ? (*list)->no_of_erase_info : 0;
    int n;
    if (read_total(r, "erase:total", "erase%d", old, 2, &n))
        return -1;
    auto *grown = grow_list<flashini_erase_info_list, flashini_erase_info>(*list, old, n);
    if (!grown) {
        out_of_memory(r);
        return -1;
    }
    *list = grown;
    grown->no_of_erase_info = old + n;

    for (int k = 1; k <= n; k++) {
        flashini_erase_info &e = grown->erase_info[old + k - 1];
        int start, end;
        if (required_int(r, key_name("erase%d:nand_loc", k).c_str(), &start) ||
            required_int(r, key_name("erase%d:nand_loc_end", k).c_str(), &end))
            return -1;
        e.nand_loc_start = static_cast<uint32_t>(start);
        e.nand_loc_end = static_cast<uint32_t>(end);
    }
    return 0;
}

// One image entry of flasher.ini.
int read_partition(const job_reader &r, int k, flashini_partition_info *e)
{
    const char *filename = required_string(r, key_name("map%d:filename", k).c_str());
    if (!filename)
        return -1;
    copy_text_field(e->filename, sizeof e->filename, filename);
    copy_text_field(e->original_filename, sizeof e->original_filename, filename);

    const char *desc = required_string(r, key_name("map%d:desc", k).c_str());
    if (!desc)
        return -1;
    copy_text_field(e->desc, sizeof e->desc, desc);

    if (job_int(r, key_name("map%d:with_oob", k).c_str(), 0, &e->image_with_oob))
        return -1;

    // An entry is skipped only when the job allows it AND its file is missing.
    if (job_int(r, key_name("map%d:skip_flash_if_file_not_exist", k).c_str(), 0, &e->skip_flash))
        return -1;
    if (e->skip_flash && access(e->filename, R_OK) == 0)
        e->skip_flash = 0;

    int start, end;
    if (required_int(r, key_name("map%d:nand_loc", k).c_str(), &start) ||
        required_int(r, key_name("map%d:nand_loc_end", k).c_str(), &end))
        return -1;
    e->nand_loc_start = static_cast<uint32_t>(start);
    e->nand_loc_end = static_cast<uint32_t>(end);

    e->offset_in_file = 0; // the whole file is the image
    e->file_size = 0;
    return 0;
}

int read_partition_list(const job_reader &r, flashini_partition_info_list **list)
{
    int old = *list ? (*list)->no_of_partition_info : 0;
    int n;
    if (read_total(r, "map:total", "map%d", old, 4, &n))
        return -1;
    auto *grown = grow_list<flashini_partition_info_list, flashini_partition_info>(*list, old, n);
    if (!grown) {
        out_of_memory(r);
        return -1;
    }
    *list = grown;
    grown->no_of_partition_info = old + n;

    for (int k = 1; k <= n; k++)
        if (read_partition(r, k, &grown->partition_info[old + k - 1]))
            return -1;
    return 0;
}

// Steps after loading: switches, container, overrides, then the four lists in order.
int read_job(const job_reader &r, flashini_content *job)
{
    if (job_int(r, "misc:loop_test", 0, &job->loop_test) ||
        job_int(r, "misc:logging", 0, &job->logging) ||
        job_int(r, "misc:reboot", 0, &job->reboot) ||
        job_int(r, "misc:sync_pc_time", 0, &job->sync_pc_time) ||
        job_int(r, "misc:verify", 0, &job->verify) ||
        job_int(r, "misc:skip_blank", 0, &job->skip_blank))
        return -1;
    if (job->skip_blank != 0 && job->skip_blank != 1) {
        fprintf(stderr, "%s: misc:skip_blank must be 0 or 1, not %d\n", r.ini_name,
                job->skip_blank);
        return -1;
    }

    const char *container = job_string(r, "map:1fi_file");
    if (container) {
        if (parse_one_1fi(job, container))
            return -1;
    } else {
        job->enable_crc = 1;
        job->init_bbm_method = FLASHINI_USE_EXIST_BBM_IF_NOT_FOUND_INIT_USED_BBM;
        job->bbm_reloc_addr = 0;
        job->bbm_reloc_end_addr = 0;
        job->num_of_chip_select = -1;
    }

    // flasher.ini's misc keys override the container's settings.
    job->enable_crc = job_bool(r, "misc:crc", job->enable_crc);
    if (job_int(r, "misc:init_nand_flash_bbm", job->init_bbm_method, &job->init_bbm_method) ||
        job_int(r, "misc:bbm_reloc", job->bbm_reloc_addr, &job->bbm_reloc_addr) ||
        job_int(r, "misc:bbm_reloc_end", job->bbm_reloc_end_addr, &job->bbm_reloc_end_addr) ||
        job_int(r, "misc:num_of_chip_select", job->num_of_chip_select, &job->num_of_chip_select))
        return -1;

    if (read_gpio_list(r, "gpio_bd", &job->gpio_bd_info_list) ||
        read_gpio_list(r, "gpio_ad", &job->gpio_ad_info_list) ||
        read_erase_list(r, &job->erase_info_list) ||
        read_partition_list(r, &job->partition_info_list))
        return -1;
    return 0;
}

// ---- loading ------------------------------------------------------------------------------

// While a BOM-less copy is loaded under its /proc name, iniparser's messages are rewritten to
// name the job file the author knows.
const char *g_copy_name;
const char *g_real_name;

int relabel_error(const char *format, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    const char *at = strstr(text, g_copy_name);
    if (!at)
        return fputs(text, stderr);
    return fprintf(stderr, "%.*s%s%s", static_cast<int>(at - text), text, g_real_name,
                   at + strlen(g_copy_name));
}

// Loads a file that starts with a UTF-8 byte order mark from an in-memory copy without it.
// The copy keeps every line where it was, so line numbers in messages stay right.
dictionary *load_without_bom(const char *ini_name, FILE *f)
{
    int fd = memfd_create("flasher.ini", MFD_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot copy the file past its byte order mark\n", ini_name);
        return nullptr;
    }
    char buf[65536];
    size_t got;
    bool ok = true;
    while (ok && (got = fread(buf, 1, sizeof buf, f)) > 0)
        ok = write(fd, buf, got) == static_cast<ssize_t>(got);
    ok = ok && !ferror(f);
    if (!ok)
        fprintf(stderr, "%s: cannot copy the file past its byte order mark\n", ini_name);
    dictionary *ini = nullptr;
    if (ok) {
        char copy_name[64];
        snprintf(copy_name, sizeof copy_name, "/proc/self/fd/%d", fd);
        g_copy_name = copy_name;
        g_real_name = ini_name;
        iniparser_set_error_callback(relabel_error);
        ini = iniparser_load(copy_name);
        iniparser_set_error_callback(nullptr); // back to iniparser's own stderr output
    }
    close(fd);
    return ini;
}

// iniparser_load with the guards described at the top of this file. Writes the reason and
// "cannot parse file" on failure.
dictionary *load_job_file(const char *ini_name)
{
    struct stat st;
    dictionary *ini = nullptr;
    if (stat(ini_name, &st) != 0) {
        ini = iniparser_load(ini_name); // gives iniparser's own "cannot open" message
    } else if (S_ISDIR(st.st_mode)) {
        fprintf(stderr, "%s: is a directory, not a job file\n", ini_name);
    } else if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: not a regular file\n", ini_name);
    } else if (st.st_size == 0) {
        fprintf(stderr, "%s: the job file is empty\n", ini_name);
    } else {
        FILE *f = fopen(ini_name, "rb");
        unsigned char bom[3] = {0, 0, 0};
        if (f && fread(bom, 1, 3, f) == 3 && bom[0] == 0xEF && bom[1] == 0xBB && bom[2] == 0xBF)
            ini = load_without_bom(ini_name, f);
        else
            ini = iniparser_load(ini_name);
        if (f)
            fclose(f);
    }
    if (!ini)
        fprintf(stderr, "cannot parse file: %s\n", ini_name);
    return ini;
}

} // namespace

flashini_content *flashini_parse_file(const char *ini_name)
{
    dictionary *ini = load_job_file(ini_name);
    if (!ini)
        return nullptr;

    job_reader r{ini, ini_name};
    auto *job = static_cast<flashini_content *>(calloc(1, sizeof(flashini_content)));
    if (!job) {
        out_of_memory(r);
        iniparser_freedict(ini);
        return nullptr;
    }
    int rc = read_job(r, job);
    iniparser_freedict(ini);
    if (rc) {
        flashini_destroy(job); // nothing partial is returned
        return nullptr;
    }
    return job;
}

void flashini_destroy(flashini_content *content)
{
    if (!content)
        return;
    free(content->erase_info_list);
    free(content->partition_info_list);
    free(content->gpio_bd_info_list);
    free(content->gpio_ad_info_list);
    free(content);
}
