// util: explicit little-endian byte helpers.
//
// Every record that crosses the USB wire or is read from a container file is built and parsed
// with these, byte by byte, so the code never depends on the host's struct layout or byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline void put_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t get_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t get_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Copies at most n-1 characters of src into the n-character field dst and always terminates it.
inline void copy_text_field(char *dst, size_t n, const char *src)
{
    if (n == 0)
        return;
    size_t len = src ? strnlen(src, n - 1) : 0;
    if (len)
        memcpy(dst, src, len);
    dst[len] = '\0';
}
