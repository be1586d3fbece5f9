// job layer: released jobs: release.txt, its minisign signature, the trusted keys, the station's
// record of the highest sequence run. Called by start-up and --check on the main thread.
#include "job/release.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <iniparser.h>
#include <map>
#include <memory>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

struct MdCtxFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string hex(const unsigned char *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

// minisign shows a key number as the little-endian 64-bit value it is, in upper-case hex
// without leading zeros: the same text here, so an operator can match it with the key's file.
std::string key_id_text(const unsigned char keynum[8])
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (int i = 7; i >= 0; i--) {
        s += digits[keynum[i] >> 4];
        s += digits[keynum[i] & 15];
    }
    const size_t first = s.find_first_not_of('0');
    return first == std::string::npos ? "0" : s.substr(first);
}

// Strict base64 (padding included, no white space); nullopt when it is not.
std::optional<std::string> base64_decode(const std::string &in)
{
    if (in.empty() || in.size() % 4 != 0)
        return std::nullopt;
    std::string out(in.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(in.data()),
                            static_cast<int>(in.size()));
    if (n < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t pad = in[in.size() - 1] == '=' ? (in[in.size() - 2] == '=' ? 2 : 1) : 0;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::optional<std::string> digest(const EVP_MD *md, const std::string &data)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data.data(), data.size(), d, &n, md, nullptr) != 1)
        return std::nullopt;
    return std::string(reinterpret_cast<char *>(d), n);
}

bool ed25519_verify(const unsigned char pk[32], const std::string &sig, const std::string &msg)
{
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pk, 32));
    MdCtx ctx(EVP_MD_CTX_new());
    if (!key || !ctx || sig.size() != 64 ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(sig.data()),
                            sig.size(), reinterpret_cast<const unsigned char *>(msg.data()),
                            msg.size()) == 1;
}

// The lines of a text, without their "\n" or "\r\n".
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    return lines;
}

// The whole file; -1 with errno's text when it cannot be read.
int read_text(const std::string &path, std::string *text, std::string *why)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return -1;
    }
    text->clear();
    char buf[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = path + ": " + std::strerror(errno);
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

std::string normal_name(const std::string &name)
{
    return fs::path(name).lexically_normal().generic_string();
}

bool product_ok(const std::string &p)
{
    return !p.empty() && p.size() <= 64 && std::all_of(p.begin(), p.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

bool parse_sequence(const std::string &s, int64_t *v)
{
    if (s.empty() || s.size() > 18 || !std::all_of(s.begin(), s.end(), ::isdigit))
        return false;
    *v = std::stoll(s);
    return true;
}

bool date_ok(const std::string &d)
{
    if (d.size() != 10 || d[4] != '-' || d[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!isdigit(static_cast<unsigned char>(d[i])))
            return false;
    const int month = std::stoi(d.substr(5, 2));
    const int day = std::stoi(d.substr(8, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

std::string local_date(time_t now)
{
    struct tm tm {
    };
    localtime_r(&now, &tm);
    char buf[16];
    strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

} // namespace

std::vector<release_job_file> release_job_files(const flashini_content &job,
                                                const std::string &job_path,
                                                const std::string &plugin_ini,
                                                std::string *bare_library)
{
    const fs::path dir =
        fs::absolute(fs::path(job_path).parent_path().empty() ? fs::path(".")
                                                              : fs::path(job_path).parent_path())
            .lexically_normal();
    std::vector<release_job_file> files;
    auto add = [&](const std::string &path) {
        for (const release_job_file &f : files)
            if (f.path == path)
                return;
        const fs::path abs = fs::absolute(path).lexically_normal();
        files.push_back({path, abs.lexically_relative(dir).generic_string(), std::nullopt});
    };
    add(job_path);
    if (job.one_file_image[0] != '\0')
        add(job.one_file_image);
    const flashini_partition_info_list *parts = job.partition_info_list;
    for (int i = 0; parts && i < parts->no_of_partition_info; i++)
        if (!parts->partition_info[i].skip_flash)
            add(parts->partition_info[i].filename);
    if (!plugin_ini.empty()) {
        add(plugin_ini);
        if (dictionary *d = iniparser_load(plugin_ini.c_str())) {
            const char *lib = iniparser_getstring(d, "plugin:dll_name", "");
            if (lib && std::strchr(lib, '/'))
                add(lib);
            else if (lib && *lib && bare_library)
                *bare_library = lib;
            iniparser_freedict(d);
        }
    }
    return files;
}

void release_digest_files(std::vector<release_job_file> *files)
{
    std::vector<unsigned char> buf(1 << 20);
    for (release_job_file &f : *files) {
        if (f.sha256)
            continue;
        int fd = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        MdCtx ctx(EVP_MD_CTX_new());
        bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
        for (;;) {
            ssize_t n = ok ? read(fd, buf.data(), buf.size()) : -1;
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = ok && n == 0;
                break;
            }
            ok = EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n)) == 1;
        }
        close(fd);
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (ok && EVP_DigestFinal_ex(ctx.get(), d, &len) == 1)
            f.sha256 = hex(d, len);
    }
}

int release_format_list(const std::vector<release_job_file> &files, std::string *text,
                        std::string *why)
{
    text->clear();
    for (const release_job_file &f : files) {
        if (!f.sha256) {
            *why = f.path + " cannot be read";
            return -1;
        }
        if (f.name.find('\n') != std::string::npos || f.name.find('\\') != std::string::npos) {
            *why = f.path + ": a name with a line break or backslash cannot be listed";
            return -1;
        }
        *text += *f.sha256 + "  " + f.name + "\n";
    }
    return 0;
}

int release_parse_list(const std::string &text, std::vector<release_entry> *entries,
                       std::string *why)
{
    entries->clear();
    std::vector<std::string> lines = lines_of(text);
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string &l = lines[i];
        // "<64 hex><space><space or *><name>", as sha256sum writes it (text or binary mode).
        bool ok = l.size() > 66 && l[64] == ' ' && (l[65] == ' ' || l[65] == '*');
        for (size_t k = 0; ok && k < 64; k++)
            ok = isxdigit(static_cast<unsigned char>(l[k])) != 0;
        if (!ok) {
            *why = std::string(RELEASE_LIST_NAME) + " line " + std::to_string(i + 1) +
                   " is not \"<sha256>  <file>\"";
            return -1;
        }
        release_entry e{l.substr(0, 64), l.substr(66)};
        std::transform(e.sha256.begin(), e.sha256.end(), e.sha256.begin(), ::tolower);
        for (const release_entry &other : *entries)
            if (normal_name(other.name) == normal_name(e.name)) {
                *why = std::string(RELEASE_LIST_NAME) + " lists " + e.name + " twice";
                return -1;
            }
        entries->push_back(std::move(e));
    }
    if (entries->empty()) {
        *why = std::string(RELEASE_LIST_NAME) + " lists no file";
        return -1;
    }
    return 0;
}

int release_parse_key(const std::string &text, release_key *key, std::string *why)
{
    for (const std::string &l : lines_of(text)) {
        if (l.empty() || l.rfind("untrusted comment:", 0) == 0)
            continue;
        std::optional<std::string> raw = base64_decode(l);
        if (!raw || raw->size() != 42 || raw->compare(0, 2, "Ed") != 0) {
            *why = "not a minisign Ed25519 public key";
            return -1;
        }
        std::memcpy(key->keynum, raw->data() + 2, 8);
        std::memcpy(key->pk, raw->data() + 10, 32);
        key->key_id = key_id_text(key->keynum);
        return 0;
    }
    *why = "no public key in it";
    return -1;
}

int release_load_keys(const std::string &dir, std::vector<release_key> *keys, std::string *why)
{
    keys->clear();
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".pub")
            names.push_back(it->path().string());
    if (ec) {
        *why = "trusted keys " + dir + ": " + ec.message();
        return -1;
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string text;
        release_key key;
        if (read_text(name, &text, why) != 0)
            return -1;
        if (release_parse_key(text, &key, why) != 0) {
            *why = "trusted key " + name + ": " + *why;
            return -1;
        }
        key.file = name;
        keys->push_back(std::move(key));
    }
    return 0;
}

int release_verify_signature(const std::string &sig_text, const std::string &message,
                             const std::vector<release_key> &keys, size_t *key_index,
                             std::string *trusted_comment, std::string *why)
{
    const std::vector<std::string> lines = lines_of(sig_text);
    const std::string tc_prefix = "trusted comment: ";
    if (lines.size() < 4 || lines[2].rfind(tc_prefix, 0) != 0) {
        *why = std::string(RELEASE_SIG_NAME) + " is not a minisign signature";
        return -1;
    }
    std::optional<std::string> sig = base64_decode(lines[1]);
    std::optional<std::string> global = base64_decode(lines[3]);
    if (!sig || sig->size() != 74 || !global || global->size() != 64) {
        *why = std::string(RELEASE_SIG_NAME) + " is not a minisign signature";
        return -1;
    }
    const std::string alg = sig->substr(0, 2);
    if (alg != "Ed" && alg != "ED") {
        *why = std::string(RELEASE_SIG_NAME) + ": unknown signature algorithm";
        return -1;
    }
    const auto *keynum = reinterpret_cast<const unsigned char *>(sig->data() + 2);
    size_t k = 0;
    while (k < keys.size() && std::memcmp(keys[k].keynum, keynum, 8) != 0)
        k++;
    if (k == keys.size()) {
        *why = "signed with key " + key_id_text(keynum) + ", which this station does not trust";
        return -1;
    }
    const std::string signature = sig->substr(10);
    // "ED" signs the BLAKE2b-512 digest of the file, "Ed" the file itself.
    std::optional<std::string> signed_bytes =
        alg == "ED" ? digest(EVP_blake2b512(), message) : std::optional<std::string>(message);
    if (!signed_bytes || !ed25519_verify(keys[k].pk, signature, *signed_bytes)) {
        *why = std::string(RELEASE_SIG_NAME) + " does not match " + RELEASE_LIST_NAME +
               " under key " + keys[k].key_id + " (the list was changed after signing)";
        return -1;
    }
    const std::string comment = lines[2].substr(tc_prefix.size());
    if (!ed25519_verify(keys[k].pk, *global, signature + comment)) {
        *why = std::string(RELEASE_SIG_NAME) + ": the trusted comment was changed after signing";
        return -1;
    }
    *key_index = k;
    *trusted_comment = comment;
    return 0;
}

int release_parse_trusted_comment(const std::string &comment, release_info *info, std::string *why)
{
    std::map<std::string, std::string> words;
    size_t pos = 0;
    while (pos < comment.size()) {
        size_t end = comment.find_first_of(" \t", pos);
        if (end == std::string::npos)
            end = comment.size();
        const std::string w = comment.substr(pos, end - pos);
        const size_t eq = w.find('=');
        if (eq != std::string::npos)
            words[w.substr(0, eq)] = w.substr(eq + 1);
        pos = end + 1;
    }
    const std::string where = "the trusted comment \"" + comment + "\"";
    if (!product_ok(words["product"])) {
        *why = where + " has no product=NAME (letters, digits, '.', '_', '-')";
        return -1;
    }
    if (!parse_sequence(words["sequence"], &info->sequence)) {
        *why = where + " has no sequence=NUMBER";
        return -1;
    }
    if (!date_ok(words["expires"])) {
        *why = where + " has no expires=YYYY-MM-DD";
        return -1;
    }
    info->product = words["product"];
    info->expires = words["expires"];
    return 0;
}

release_status release_check(const release_check_input &in, release_info *info, std::string *why)
{
    *info = release_info{};
    if (in.keys.empty() && !in.require)
        return RELEASE_NONE;
    if (in.keys.empty()) {
        *why = "a released job is required, but this station trusts no key";
        return RELEASE_REFUSED;
    }
    const std::string list_path = (fs::path(in.job_dir) / RELEASE_LIST_NAME).string();
    const std::string sig_path = (fs::path(in.job_dir) / RELEASE_SIG_NAME).string();
    // The list is read once: the bytes checked against the signature are the bytes parsed.
    std::string list;
    if (access(list_path.c_str(), F_OK) != 0) {
        if (!in.require)
            return RELEASE_NONE;
        *why = "the job is not released: " + list_path + " is missing";
        return RELEASE_REFUSED;
    }
    if (read_text(list_path, &list, why) != 0)
        return RELEASE_REFUSED;
    std::string sig;
    if (access(sig_path.c_str(), F_OK) != 0) {
        *why = "the job is unsigned: " + sig_path + " is missing";
        return RELEASE_REFUSED;
    }
    if (read_text(sig_path, &sig, why) != 0)
        return RELEASE_REFUSED;

    size_t key = 0;
    std::string comment;
    if (release_verify_signature(sig, list, in.keys, &key, &comment, why) != 0 ||
        release_parse_trusted_comment(comment, info, why) != 0)
        return RELEASE_REFUSED;
    info->key_id = in.keys[key].key_id;
    const std::optional<std::string> list_digest = digest(EVP_sha256(), list);
    if (!list_digest) {
        *why = std::string("cannot digest ") + RELEASE_LIST_NAME;
        return RELEASE_REFUSED;
    }
    info->sha256 =
        hex(reinterpret_cast<const unsigned char *>(list_digest->data()), list_digest->size());

    if (local_date(in.now) > info->expires) {
        *why = "release " + info->product + " sequence " + std::to_string(info->sequence) +
               " expired on " + info->expires;
        return RELEASE_REFUSED;
    }
    std::vector<release_entry> entries;
    if (release_parse_list(list, &entries, why) != 0)
        return RELEASE_REFUSED;
    for (const release_job_file &f : in.files) {
        auto e = std::find_if(entries.begin(), entries.end(), [&](const release_entry &x) {
            return normal_name(x.name) == normal_name(f.name);
        });
        if (e == entries.end()) {
            *why = f.name + " is used by the job but not listed in " + RELEASE_LIST_NAME;
            return RELEASE_REFUSED;
        }
        if (!f.sha256) {
            *why = f.name + " cannot be read";
            return RELEASE_REFUSED;
        }
        if (*f.sha256 != e->sha256) {
            *why = f.name + " differs from the released file (sha256 " + *f.sha256 + ", " +
                   RELEASE_LIST_NAME + " says " + e->sha256 + ")";
            return RELEASE_REFUSED;
        }
    }
    return RELEASE_OK;
}

int release_check_sequence(const release_info &info, int64_t highest, const std::string &where,
                           std::string *why)
{
    if (info.sequence >= highest)
        return 0;
    *why = "rolled back: release " + info.product + " sequence " + std::to_string(info.sequence) +
           " is older than sequence " + std::to_string(highest) + ", which " + where + " has run";
    return -1;
}

std::string release_summary_text(const release_info &info)
{
    return "Released: product " + info.product + ", sequence " + std::to_string(info.sequence) +
           ", expires " + info.expires + ", key " + info.key_id;
}

int release_state_highest(const std::string &path, const std::string &product, int64_t *highest,
                          std::string *why)
{
    *highest = 0;
    std::string text;
    if (access(path.c_str(), F_OK) != 0)
        return 0;
    if (read_text(path, &text, why) != 0)
        return -1;
    for (const std::string &l : lines_of(text)) {
        const size_t sp = l.find(' ');
        int64_t seq = 0;
        if (sp == std::string::npos || !parse_sequence(l.substr(sp + 1), &seq)) {
            *why = path + ": damaged line \"" + l + "\"";
            return -1;
        }
        if (l.substr(0, sp) == product)
            *highest = std::max(*highest, seq);
    }
    return 0;
}

int release_state_record(const std::string &path, const std::string &product, int64_t sequence,
                         std::string *why)
{
    std::string text;
    if (access(path.c_str(), F_OK) == 0 && read_text(path, &text, why) != 0)
        return -1;
    std::map<std::string, int64_t> state;
    for (const std::string &l : lines_of(text)) {
        const size_t sp = l.find(' ');
        int64_t seq = 0;
        if (sp == std::string::npos || !parse_sequence(l.substr(sp + 1), &seq)) {
            *why = path + ": damaged line \"" + l + "\"";
            return -1;
        }
        state[l.substr(0, sp)] = seq;
    }
    if (state.count(product) && state[product] >= sequence)
        return 0;
    state[product] = sequence;
    std::string out;
    for (const auto &[p, s] : state)
        out += p + " " + std::to_string(s) + "\n";

    const fs::path dir = fs::path(path).parent_path();
    std::error_code ec;
    if (!dir.empty())
        fs::create_directories(dir, ec);
    const std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < out.size()) {
        ssize_t n = write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0)
        close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        *why = "cannot write " + path + ": " + std::strerror(ok ? errno : err);
        unlink(tmp.c_str());
        return -1;
    }
    // The rename itself must survive a power cut.
    int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

int release_settings_read(const std::string &config_path, release_settings *settings,
                          std::string *why)
{
    *settings = release_settings{};
    if (config_path.empty() || access(config_path.c_str(), F_OK) != 0)
        return 0;
    dictionary *ini = iniparser_load(config_path.c_str());
    if (!ini) {
        *why = config_path + ": not a readable INI file";
        return -1;
    }
    settings->keys_dir = iniparser_getstring(ini, "release:keys", "");
    const int require = iniparser_getint(ini, "release:require", -1);
    settings->require = require < 0 ? !settings->keys_dir.empty() : require != 0;
    const char *state = iniparser_getstring(ini, "release:state", "");
    if (state && *state)
        settings->state_path = state;
    const int poll = iniparser_getint(ini, "release:poll", 60);
    iniparser_freedict(ini);
    if (poll < 1 || poll > 60) {
        *why = config_path + ": [release] poll must be 1 to 60 seconds";
        return -1;
    }
    settings->poll_s = poll;
    return 0;
}
