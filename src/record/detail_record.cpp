// record: the detail record's texts, job digests, line and writer. Start-up calls the digests and
// the open on the main thread; the window thread formats and appends one line per finished run
// (see record/detail_record.h).
#include "record/detail_record.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "job/flashini_parser.h"

namespace
{

using ordered_json = nlohmann::ordered_json;

constexpr uint32_t kEscapeFirst = 0xEF00; // U+EF00 + byte
constexpr uint32_t kEscapeLast = 0xEFFF;

// Length of the valid UTF-8 character at s[i], its code point in *cp; 0 when the bytes there are
// not one (overlong forms, surrogates and values past U+10FFFF are not).
size_t utf8_char(std::string_view s, size_t i, uint32_t *cp)
{
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t n;
    uint32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, min = 0x80, *cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, min = 0x800, *cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, min = 0x10000, *cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; k++) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        *cp = (*cp << 6) | (b & 0x3F);
    }
    if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF))
        return 0;
    return n;
}

void put_escaped(std::string &out, unsigned char b)
{
    const uint32_t cp = kEscapeFirst + b;
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
}

ordered_json text(std::string_view raw)
{
    return detail_escape_text(raw);
}

template <class T> ordered_json text_or_null(const std::optional<T> &v)
{
    return v ? text(*v) : ordered_json(nullptr);
}

// ---- digests ----

struct EvpFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};
using Evp = std::unique_ptr<EVP_MD_CTX, EvpFree>;

Evp sha256_new()
{
    Evp c(EVP_MD_CTX_new());
    if (c && EVP_DigestInit_ex(c.get(), EVP_sha256(), nullptr) != 1)
        c.reset();
    return c;
}

std::optional<std::string> sha256_hex(EVP_MD_CTX *c)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!c || EVP_DigestFinal_ex(c, d, &n) != 1)
        return std::nullopt;
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; i++) {
        s += hex[d[i] >> 4];
        s += hex[d[i] & 15];
    }
    return s;
}

// Bytes [begin, end) of one file that one image of the job is made of; end -1 = to the end.
struct Span {
    size_t image;
    int64_t begin, end;
    Evp ctx;
};

// One pass over the file at path: its whole digest into *whole, each span's into its image.
// A file that cannot be read leaves everything unset.
void digest_file(const std::string &path, std::vector<Span> &spans,
                 std::optional<std::string> *whole, std::vector<detail_image> &images)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {
    };
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return;
    }
    const int64_t file_size = st.st_size;
    Evp all = sha256_new();
    for (Span &s : spans) {
        if (s.end < 0)
            s.end = file_size;
        // A span outside the file cannot be the image the phone gets: no digest for it.
        if (s.begin >= 0 && s.begin <= s.end && s.end <= file_size)
            s.ctx = sha256_new();
    }
    std::vector<unsigned char> buf(1 << 20);
    int64_t pos = 0;
    bool ok = all != nullptr;
    while (ok) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0 && pos == file_size;
            break;
        }
        ok = EVP_DigestUpdate(all.get(), buf.data(), static_cast<size_t>(n)) == 1;
        for (Span &s : spans) {
            const int64_t from = std::max(s.begin, pos);
            const int64_t to = std::min(s.end, pos + n);
            if (s.ctx && from < to &&
                EVP_DigestUpdate(s.ctx.get(), buf.data() + (from - pos),
                                 static_cast<size_t>(to - from)) != 1)
                s.ctx.reset();
        }
        pos += n;
    }
    close(fd);
    if (!ok)
        return;
    *whole = sha256_hex(all.get());
    for (Span &s : spans) {
        if (!s.ctx)
            continue;
        images[s.image].sha256 = sha256_hex(s.ctx.get());
        images[s.image].size = s.end - s.begin;
    }
}

} // namespace

std::string detail_escape_text(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        uint32_t cp = 0;
        const size_t n = raw[i] == '\0' ? 0 : utf8_char(raw, i, &cp);
        if (n == 0) {
            put_escaped(out, static_cast<unsigned char>(raw[i]));
            i++;
            continue;
        }
        if (cp >= kEscapeFirst && cp <= kEscapeLast) {
            for (size_t k = 0; k < n; k++)
                put_escaped(out, static_cast<unsigned char>(raw[i + k]));
        } else {
            out.append(raw.substr(i, n));
        }
        i += n;
    }
    return out;
}

std::string detail_unescape_text(std::string_view escaped)
{
    std::string out;
    out.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size();) {
        uint32_t cp = 0;
        const size_t n = utf8_char(escaped, i, &cp);
        if (n == 0) {
            out += escaped[i++]; // not from detail_escape_text: kept as it is
            continue;
        }
        if (cp >= kEscapeFirst && cp <= kEscapeLast)
            out += static_cast<char>(cp - kEscapeFirst);
        else
            out.append(escaped.substr(i, n));
        i += n;
    }
    return out;
}

int detail_job_digests(const flashini_content *job, const char *ini_path, detail_job *out)
{
    try {
        *out = detail_job{};
        out->one_file = job->one_file_image[0] != '\0';
        // Every file the job reads, each with the spans its images are made of.
        std::map<std::string, std::vector<Span>> files;
        std::vector<Span> ini_spans;
        digest_file(ini_path, ini_spans, &out->sha256, out->images);
        if (out->sha256)
            out->file_sha256[ini_path] = *out->sha256;
        if (out->one_file)
            files[job->one_file_image];

        const flashini_partition_info_list *parts = job->partition_info_list;
        for (int i = 0; parts && i < parts->no_of_partition_info; i++) {
            const flashini_partition_info &p = parts->partition_info[i];
            detail_image im;
            im.in_container = out->one_file && std::string_view(p.filename) == job->one_file_image;
            im.file = im.in_container ? p.original_filename : p.filename;
            im.desc = p.desc;
            im.nand_loc = p.nand_loc_start;
            im.nand_loc_end = p.nand_loc_end;
            im.skip_flash = p.skip_flash != 0;
            out->images.push_back(std::move(im));
            // What the writer sends: file_size bytes from offset_in_file, or up to the end.
            const int64_t begin = p.offset_in_file;
            const int64_t end = p.file_size > 0 ? begin + p.file_size : -1;
            files[p.filename].push_back(Span{out->images.size() - 1, begin, end, nullptr});
        }
        for (auto &[path, spans] : files) {
            std::optional<std::string> whole;
            digest_file(path, spans, &whole, out->images);
            if (whole)
                out->file_sha256[path] = *whole;
            if (out->one_file && path == job->one_file_image)
                out->container_sha256 = whole;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

void detail_run_stage(detail_run *run, const char *stage, uint32_t at_ms)
{
    detail_run_close(run, at_ms);
    run->steps.push_back(detail_step{stage, at_ms, 0, 0});
    run->step_bytes_mark = run->bytes_moved;
}

void detail_run_close(detail_run *run, uint32_t at_ms)
{
    if (run->steps.empty())
        return;
    detail_step &open = run->steps.back();
    open.ms = at_ms - open.start_ms;
    open.bytes = run->bytes_moved - run->step_bytes_mark;
    run->step_bytes_mark = run->bytes_moved;
    if (run->blank_pending) {
        open.blank_counted = true;
        open.blank_blocks = run->pending_blank_blocks;
        open.blank_pages = run->pending_blank_pages;
        run->blank_pending = false;
    }
}

int detail_log_open(const std::string &csv_path, detail_log *log)
{
    const std::string ext = ".csv";
    std::string base = csv_path;
    if (base.size() >= ext.size() && base.compare(base.size() - ext.size(), ext.size(), ext) == 0)
        base.resize(base.size() - ext.size());
    const std::string path = base + ".jsonl";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    // The new name itself must survive a power cut, or the synced lines would be lost with it.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    log->fd = fd;
    log->path = path;
    const size_t csv_slash = csv_path.rfind('/');
    log->csv_file = csv_slash == std::string::npos ? csv_path : csv_path.substr(csv_slash + 1);
    log->next_csv_line = 2;
    return 0;
}

void detail_log_close(detail_log *log)
{
    if (log->fd >= 0)
        close(log->fd);
    log->fd = -1;
}

std::string detail_default_station_id()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "unknown";
    return name;
}

const char *detail_program_version()
{
    return BW_PROGRAM_VERSION;
}

std::string detail_utc_text(int64_t utc_ms)
{
    int64_t sec = utc_ms / 1000;
    int64_t ms = utc_ms % 1000;
    if (ms < 0) {
        ms += 1000;
        sec -= 1;
    }
    const time_t t = static_cast<time_t>(sec);
    struct tm tm {
    };
    gmtime_r(&t, &tm);
    char buf[96];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

int detail_record_format(const detail_log &log, const detail_row &row, const detail_run &run,
                         std::string *line)
{
    try {
        ordered_json images = ordered_json::array();
        for (const detail_image &im : log.job.images) {
            ordered_json o;
            o["file"] = text(im.file);
            o["desc"] = text(im.desc);
            o["nand_loc"] = im.nand_loc;
            o["nand_loc_end"] = im.nand_loc_end;
            o["size"] = im.size ? ordered_json(*im.size) : ordered_json(nullptr);
            o["sha256"] = text_or_null(im.sha256);
            o["in_container"] = im.in_container;
            o["skip_flash"] = im.skip_flash;
            images.push_back(std::move(o));
        }
        ordered_json job;
        job["sha256"] = text_or_null(log.job.sha256);
        job["images"] = std::move(images);
        if (log.job.one_file)
            job["container_sha256"] = text_or_null(log.job.container_sha256);

        ordered_json nand = nullptr;
        if (run.nand) {
            const detail_nand &n = *run.nand;
            nand = {{"manu_id", n.manu_id},           {"device_id", n.device_id},
                    {"no_of_blocks", n.no_of_blocks}, {"page_size", n.page_size},
                    {"block_size", n.block_size},     {"oob_size", n.oob_size},
                    {"bus_width", n.bus_width},       {"found_bbm", n.found_bbm}};
        }
        ordered_json steps = ordered_json::array();
        for (const detail_step &s : run.steps) {
            ordered_json step = {{"stage", text(s.stage)},
                                 {"start_ms", s.start_ms},
                                 {"ms", s.ms},
                                 {"bytes", s.bytes}};
            if (s.blank_counted) {
                step["blank_blocks"] = s.blank_blocks;
                step["blank_pages"] = s.blank_pages;
            }
            steps.push_back(std::move(step));
        }
        ordered_json plugin = nullptr;
        if (run.plugin_judged)
            plugin = {{"name", text_or_null(row.plugin_name)}, {"result", run.plugin_result}};

        char id[16];
        snprintf(id, sizeof id, "%04x:%04x", run.bootrom_vid, run.bootrom_pid);

        ordered_json j;
        j["station"] = text(log.station);
        j["program"] = text(log.program);
        j["run_id"] = text(log.run_id);
        j["csv_file"] = text(log.csv_file);
        j["csv_line"] = row.csv_line;
        j["fixture"] = text(row.fixture);
        j["die_id"] = text(row.die_id);
        j["interface_1"] = text(row.interface_1);
        j["interface_2"] = text(row.interface_2);
        j["bootrom_id"] = id;
        j["bootrom_version"] = text_or_null(run.bootrom_version);
        j["agent_interface"] = text_or_null(run.agent_interface);
        j["agent_wait"] = text_or_null(run.agent_wait);
        j["start"] = detail_utc_text(row.start_utc_ms);
        j["finish"] = detail_utc_text(row.finish_utc_ms);
        j["section"] = text(row.section);
        j["status_code"] = row.status_code;
        j["status_text"] = text(row.status_text);
        j["passed"] = row.status_code == 0;
        j["interrupted"] = row.interrupted;
        j["job"] = std::move(job);
        if (log.release)
            j["release"] = {{"product", text(log.release->product)},
                            {"sequence", log.release->sequence},
                            {"key_id", text(log.release->key_id)},
                            {"sha256", text(log.release->sha256)}};
        else
            j["release"] = nullptr;
        j["nand"] = std::move(nand);
        j["steps"] = std::move(steps);
        j["plugin"] = std::move(plugin);
        ordered_json diagnostics = ordered_json::array();
        for (const auto &[ms, line] : row.diagnostics)
            diagnostics.push_back({{"ms", ms}, {"text", text(line)}});
        j["diagnostics"] = std::move(diagnostics);
        // Every text went through detail_escape_text, so the strict handler cannot refuse one.
        *line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        *line += '\n';
        return 0;
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    } catch (const nlohmann::json::exception &) {
        return -EILSEQ;
    }
}
