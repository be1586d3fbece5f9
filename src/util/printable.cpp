// util: escaping control characters for the terminal (see util/printable.h).
#include "util/printable.h"

#include <cstdio>

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    char esc[8];
    for (size_t i = 0; i < text.size(); i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || (c >= 0x20 && c != 0x7F && c != 0xC2)) {
            out += static_cast<char>(c);
        } else if (c == 0xC2) {
            // U+0080..U+009F: the C1 controls (CSI, OSC, ...) as UTF-8.
            const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
            if (next >= 0x80 && next <= 0x9F) {
                snprintf(esc, sizeof esc, "\\u%04X", next);
                out += esc;
                i++;
            } else {
                out += static_cast<char>(c);
            }
        } else if (c == 0x1B) {
            out += "\\e";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}
