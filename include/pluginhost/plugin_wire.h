// plug-in helper: the records the station and bramblewick-plugin-host exchange over their socket.
// Used by the station's plug-in host (src/station/plugin_process.cpp, on a download thread or at
// start-up) and by the helper program itself (src/pluginhost/plugin_host_main.cpp).
//
// Every record is a fixed header of little-endian 32-bit fields followed by its texts, built and
// parsed with util/bytes.h. One request goes to the helper, one reply comes back; the read-back
// bytes do not travel here but in a shared memory file the helper gets as its descriptor 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t PLUGIN_REQUEST_MAGIC = 0x48505742; // "BWPH"
inline constexpr uint32_t PLUGIN_REPLY_MAGIC = 0x52505742;   // "BWPR"
inline constexpr size_t PLUGIN_REQUEST_HEADER_SIZE = 28;
inline constexpr size_t PLUGIN_REPLY_HEADER_SIZE = 16;
inline constexpr size_t PLUGIN_TEXT_MAX = 4096; // any text of a record, in bytes

// The helper's descriptors: its socket to the station, and for a call the shared read-back bytes.
inline constexpr int PLUGIN_HOST_SOCKET_FD = 3;
inline constexpr int PLUGIN_HOST_BUFFER_FD = 4;

enum : uint32_t {
    PLUGIN_KIND_CHECK = 1, // load, find the five exports, plugin_init, plugin_get_name
    PLUGIN_KIND_CALL = 2,  // the same, then plugin_download_finish_cb on the shared bytes
};

struct plugin_request {
    uint32_t kind = PLUGIN_KIND_CHECK;
    int32_t program_okay = 1;
    uint32_t read_size = 0;   // bytes the plug-in sees
    uint32_t data_offset = 0; // where they start in the shared file; they end on a page boundary
    std::string dll_name;
    std::string version; // the one-file image description
};

struct plugin_reply {
    uint32_t errorno = 0; // 0, or 2 to 4 as plugin_handler_init reports them
    int32_t verdict = 0;  // plugin_download_finish_cb's result (calls only)
    std::string name;     // plugin_get_name's text (checks only)
};

std::vector<uint8_t> plugin_encode_request(const plugin_request &r);
std::vector<uint8_t> plugin_encode_reply(const plugin_reply &r);
// Decoders of a record at the start of p[0..n): the record's size when it is complete (and *r
// filled), 0 when more bytes are needed, -1 when it is malformed (magic, kind or a text length).
long plugin_decode_request(const uint8_t *p, size_t n, plugin_request *r);
long plugin_decode_reply(const uint8_t *p, size_t n, plugin_reply *r);
