// fuzz target of the job layer: arbitrary bytes as a release's files. The first byte picks the
// reader: release.txt (release_parse_list), a public key (release_parse_key), or a signature
// checked over the rest of the input under a fixed trusted key (release_verify_signature, then
// release_parse_trusted_comment on whatever it accepts).
#include <cstdint>
#include <string>
#include <vector>

#include "job/release.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string why;
    switch (data[0] % 3) {
    case 0: {
        std::vector<release_entry> entries;
        release_parse_list(text, &entries, &why);
        break;
    }
    case 1: {
        release_key key;
        release_parse_key(text, &key, &why);
        break;
    }
    default: {
        static const std::vector<release_key> keys = [] {
            std::vector<release_key> k(1);
            std::string ignored;
            release_parse_key("untrusted comment: minisign public key 1363A80C64B5EAA3\n"
                              "RWSj6rVkDKhjE/HEi+PsMN7c+mD75PuvzAIAd8va51++TVIVjW3tdGpC\n",
                              &k[0], &ignored);
            return k;
        }();
        // The signature is the text up to a blank line; the signed message what follows.
        const size_t cut = text.find("\n\n");
        const std::string sig = text.substr(0, cut);
        const std::string message = cut == std::string::npos ? "" : text.substr(cut + 2);
        size_t index = 0;
        std::string comment;
        release_info info;
        if (release_verify_signature(sig, message, keys, &index, &comment, &why) == 0)
            release_parse_trusted_comment(comment, &info, &why);
        release_parse_trusted_comment(sig, &info, &why);
        break;
    }
    }
    return 0;
}
