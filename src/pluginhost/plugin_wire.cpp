// plug-in helper: encoding and decoding of the station <-> helper records (see plugin_wire.h).
#include "pluginhost/plugin_wire.h"

#include "util/bytes.h"

namespace
{

void append(std::vector<uint8_t> &out, const std::string &s)
{
    out.insert(out.end(), s.begin(), s.end());
}

} // namespace

std::vector<uint8_t> plugin_encode_request(const plugin_request &r)
{
    std::vector<uint8_t> out(PLUGIN_REQUEST_HEADER_SIZE);
    uint8_t *h = out.data();
    put_le32(h + 0, PLUGIN_REQUEST_MAGIC);
    put_le32(h + 4, r.kind);
    put_le32(h + 8, static_cast<uint32_t>(r.program_okay));
    put_le32(h + 12, r.read_size);
    put_le32(h + 16, r.data_offset);
    put_le32(h + 20, static_cast<uint32_t>(r.dll_name.size()));
    put_le32(h + 24, static_cast<uint32_t>(r.version.size()));
    append(out, r.dll_name);
    append(out, r.version);
    return out;
}

std::vector<uint8_t> plugin_encode_reply(const plugin_reply &r)
{
    std::vector<uint8_t> out(PLUGIN_REPLY_HEADER_SIZE);
    uint8_t *h = out.data();
    put_le32(h + 0, PLUGIN_REPLY_MAGIC);
    put_le32(h + 4, r.errorno);
    put_le32(h + 8, static_cast<uint32_t>(r.verdict));
    put_le32(h + 12, static_cast<uint32_t>(r.name.size()));
    append(out, r.name);
    return out;
}

long plugin_decode_request(const uint8_t *p, size_t n, plugin_request *r)
{
    if (n < PLUGIN_REQUEST_HEADER_SIZE)
        return 0;
    const uint32_t kind = get_le32(p + 4);
    const uint32_t dll_len = get_le32(p + 20), version_len = get_le32(p + 24);
    if (get_le32(p) != PLUGIN_REQUEST_MAGIC ||
        (kind != PLUGIN_KIND_CHECK && kind != PLUGIN_KIND_CALL) || dll_len >= PLUGIN_TEXT_MAX ||
        version_len >= PLUGIN_TEXT_MAX)
        return -1;
    const size_t total = PLUGIN_REQUEST_HEADER_SIZE + dll_len + version_len;
    if (n < total)
        return 0;
    r->kind = kind;
    r->program_okay = static_cast<int32_t>(get_le32(p + 8));
    r->read_size = get_le32(p + 12);
    r->data_offset = get_le32(p + 16);
    const char *text = reinterpret_cast<const char *>(p + PLUGIN_REQUEST_HEADER_SIZE);
    r->dll_name.assign(text, dll_len);
    r->version.assign(text + dll_len, version_len);
    return static_cast<long>(total);
}

long plugin_decode_reply(const uint8_t *p, size_t n, plugin_reply *r)
{
    if (n < PLUGIN_REPLY_HEADER_SIZE)
        return 0;
    const uint32_t name_len = get_le32(p + 12);
    if (get_le32(p) != PLUGIN_REPLY_MAGIC || name_len >= PLUGIN_TEXT_MAX)
        return -1;
    const size_t total = PLUGIN_REPLY_HEADER_SIZE + name_len;
    if (n < total)
        return 0;
    r->errorno = get_le32(p + 4);
    r->verdict = static_cast<int32_t>(get_le32(p + 8));
    r->name.assign(reinterpret_cast<const char *>(p + PLUGIN_REPLY_HEADER_SIZE), name_len);
    return static_cast<long>(total);
}
