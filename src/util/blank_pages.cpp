// util: the blank tail of a block's data (see util/blank_pages.h).
#include "util/blank_pages.h"

#include <cstring>

namespace
{

bool all_ff(const unsigned char *p, int64_t n)
{
    // Word at a time: every byte of an image passes through here when blank pages are skipped.
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        if (w != ~uint64_t{0})
            return false;
    }
    for (; i < n; i++)
        if (p[i] != 0xFF)
            return false;
    return true;
}

} // namespace

int64_t block_leading_bytes(const unsigned char *chunk, int64_t size, int page_size, int oob_size)
{
    const int64_t unit = static_cast<int64_t>(page_size) + oob_size;
    if (!chunk || size <= 0 || page_size <= 0 || oob_size < 0)
        return 0;
    // From the last page backwards: a block of data stops at its last page at once.
    for (int64_t end = size; end > 0;) {
        const int64_t page_start = ((end - 1) / unit) * unit;
        if (!all_ff(chunk + page_start, end - page_start))
            return end;
        end = page_start;
    }
    return 0;
}
