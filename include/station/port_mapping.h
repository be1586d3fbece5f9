// station core: the fixture port mapping. Read once when the station starts, before the monitor
// thread exists; it creates one row per fixture with its fixture number and its one or two USB
// interface names, in ascending fixture order.
//
// File (INI, read with iniparser):
//   [ports]
//   NoOfPorts = 2          ; 1..64
//   [Port1]
//   InterfaceName = 1-1.2  ; an interface name: the instance part of a device path
//   PortNo = 1             ; the fixture number
//   [Port2] ...
// Entries naming the same PortNo: the first fills "Interface_1 ID", later ones "Interface_2 ID".
#pragma once

#include <string>

#include "station/device_list.h"

inline constexpr const char *PORT_MAPPING_DEFAULT_PATH = "/etc/bramblewick/ports.ini";

// Reads path and inserts the fixture rows into list. Returns the number of port entries taken
// over (no_of_mapped_ports): 0 when the file or NoOfPorts is missing, not a decimal number or
// outside 1..64; i-1 when entry i is missing, incomplete or its PortNo not a decimal number
// (later entries are not read). Numbers are decimal: "010" is 10. A mapping that ends early
// leaves the rows made so far, and names the entry that ended it on standard error and in
// *problem (cleared otherwise); a missing file is no problem (a station without fixtures). An
// InterfaceName under a second entry is named too (both entries and fixtures), one line each in
// *problem; the rows stay as the file says.
int InitUSBMapping(DeviceList &list, const char *path = PORT_MAPPING_DEFAULT_PATH,
                   std::string *problem = nullptr);
