// job layer: released jobs. A release is the job directory's release.txt (sha256sum's format: one
// "<64 hex>  <name>" line per file, names relative to the job's directory) and its minisign
// signature release.txt.minisig, whose trusted comment carries "product=P sequence=N
// expires=YYYY-MM-DD". Start-up and --check call release_check on the main thread before any
// station thread exists; --make-release calls release_write_list. Nothing here touches USB, the
// factory database or the station's state file: the caller hands in what they know (the highest
// sequence run, revocation), so every rule can be tested on plain values.
//
// Signatures are checked with OpenSSL's Ed25519, over the file itself (legacy "Ed") or over its
// BLAKE2b-512 digest (prehashed "ED", what current minisign makes), and the global signature over
// signature and trusted comment is checked too: a trusted comment cannot be edited.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "job/flashini_parser.h"

inline constexpr const char *RELEASE_LIST_NAME = "release.txt";
inline constexpr const char *RELEASE_SIG_NAME = "release.txt.minisig";

// A trusted minisign public key.
struct release_key {
    std::string file;          // where it was read from
    std::string key_id;        // as minisign shows it: upper-case hex without leading zeros
    unsigned char keynum[8]{}; // as stored
    unsigned char pk[32]{};
};

// One line of release.txt.
struct release_entry {
    std::string sha256; // lower-case hex
    std::string name;   // relative to the job's directory, as written
};

// A file the job uses, with the digest start-up took of it (none when it could not be read).
struct release_job_file {
    std::string path; // as the station opens it
    std::string name; // relative to the job's directory: the name release.txt lists it by
    std::optional<std::string> sha256;
};

// What a verified release says; sha256 is that of release.txt.
struct release_info {
    std::string product;
    int64_t sequence = 0;
    std::string expires; // YYYY-MM-DD, the last day it may run
    std::string key_id;
    std::string sha256;
};

// What the check needs besides the job directory.
struct release_check_input {
    std::string job_dir;                 // holds release.txt and its signature
    std::vector<release_job_file> files; // release_job_files with their digests
    std::vector<release_key> keys;       // trusted keys; empty: no release is demanded or read
    bool require = false;                // refuse a job without a release
    time_t now = 0;                      // "today" for the expiry, in local time
};

// Every file the job uses, once each, in job order: flasher.ini, each image file that will be
// written (the container once), and with a plug-in configured post_plugin.ini and its library.
// plugin_ini empty: no plug-in. Names are relative to job_path's directory. A plug-in library
// named without a directory is found by the system's library search, not in a file this can
// name: it is left out and its name put in *bare_library (when given).
std::vector<release_job_file> release_job_files(const flashini_content &job,
                                                const std::string &job_path,
                                                const std::string &plugin_ini,
                                                std::string *bare_library = nullptr);
// The SHA-256 of each file that has none yet, read once; unreadable files keep no digest.
void release_digest_files(std::vector<release_job_file> *files);

// release.txt's text for these files (each must have a digest). 0, or -1 with the file in *why.
int release_format_list(const std::vector<release_job_file> &files, std::string *text,
                        std::string *why);

// Parsers; 0, or -1 with the reason in *why.
int release_parse_list(const std::string &text, std::vector<release_entry> *entries,
                       std::string *why);
int release_parse_key(const std::string &text, release_key *key, std::string *why);
// Every *.pub of dir, sorted by name; a key file that cannot be read or parsed is an error
// (a station must not silently trust fewer keys than its administrator installed).
int release_load_keys(const std::string &dir, std::vector<release_key> *keys, std::string *why);

// The minisign signature of `message` in sig_text under one of keys: 0 with *key_index set and
// the trusted comment in *trusted_comment; -1 with the reason.
int release_verify_signature(const std::string &sig_text, const std::string &message,
                             const std::vector<release_key> &keys, size_t *key_index,
                             std::string *trusted_comment, std::string *why);
// product=, sequence= and expires= of a trusted comment (other words are ignored).
int release_parse_trusted_comment(const std::string &comment, release_info *info, std::string *why);

enum release_status {
    RELEASE_OK = 0,       // *info is the verified release
    RELEASE_NONE = 1,     // no keys, or no release.txt and none required: run as before
    RELEASE_REFUSED = -1, // *why names the reason and the file or key
};
// Signature under a trusted key, not expired, every file listed with its digest. The sequence and
// revocation are the caller's (release_check_sequence), as they depend on stored state.
release_status release_check(const release_check_input &in, release_info *info, std::string *why);

// Refuses a release older than the highest sequence run for its product (where names who ran
// it: "this station" or the factory database). 0, or -1 with the reason.
int release_check_sequence(const release_info &info, int64_t highest, const std::string &where,
                           std::string *why);

// The job summary's line: "Released: product P, sequence N, expires D, key K".
std::string release_summary_text(const release_info &info);

// ---- The station's own memory: the highest sequence run per product ----------------------------
// A text file of "<product> <sequence>" lines. A missing file holds nothing.
int release_state_highest(const std::string &path, const std::string &product, int64_t *highest,
                          std::string *why);
// Raises the product's entry to sequence (never lowers it), replacing the file atomically
// (written, synced, renamed over the old one); creates the directory when missing.
int release_state_record(const std::string &path, const std::string &product, int64_t sequence,
                         std::string *why);

// ---- The station configuration's [release] section ----------------------------------------------
inline constexpr const char *RELEASE_STATE_DEFAULT_PATH = "/var/lib/bramblewick/release-state";

struct release_settings {
    std::string keys_dir; // empty: no trusted keys
    bool require = false; // default: true when keys_dir is set
    std::string state_path = RELEASE_STATE_DEFAULT_PATH;
    int poll_s = 60; // how often the factory database is asked about revocation
};
// Reads [release] of the station configuration; a missing file or section is the default.
int release_settings_read(const std::string &config_path, release_settings *settings,
                          std::string *why);
