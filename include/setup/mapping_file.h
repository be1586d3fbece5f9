// setup: writing the fixture port mapping file, for `bramblewick --learn-ports` (terminal and
// window alike). Called on the front-end's thread once learning has ended. The station reads
// the file back with InitUSBMapping (station/port_mapping.h).
#pragma once

#include <string>
#include <vector>

namespace setup
{

// One [PortN] entry, in the order it is written: a fixture's first name before its second.
struct PortEntry {
    std::string interface_name;
    int fixture = 0;
};

enum { MAPPING_MAX_ENTRIES = 64 }; // what the station's reader accepts (NoOfPorts 1..64)

// The file's text: a comment naming who wrote it and when (stamp), [ports] NoOfPorts, then
// [Port1]..[PortN] with InterfaceName and PortNo (decimal), in the order of entries.
std::string format_port_mapping(const std::vector<PortEntry> &entries, const std::string &stamp);

// 0 when the file at path can be written (its directory exists and is writable, or can be
// made); -1 with the reason in *error. Asked before learning, so a long session is not lost.
int check_mapping_writable(const std::string &path, std::string *error);

// Writes the mapping to path, making its directory if needed; an existing file is kept beside
// it as "<path>.bak-YYYYmmdd-HHMMSS" (its name in *backup, "" when there was none). The new
// file replaces the old one whole or not at all. 0, or -1 with the reason in *error (nothing
// is changed then): no entries, more than MAPPING_MAX_ENTRIES, a name the INI format cannot
// carry, or a file system error.
int write_port_mapping(const std::string &path, const std::vector<PortEntry> &entries,
                       std::string *backup, std::string *error);

} // namespace setup
