// station core: the fixture port mapping, read from an INI file when the station starts (before
// the monitor thread exists). Called by Station::start().
#include "station/port_mapping.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <iniparser.h>

namespace
{

// A value that is not present, or not wholly an integer, counts as a failed read (as a missing
// registry value would): the mapping ends there.
bool read_int(dictionary *d, const char *key, int *out)
{
    const char *s = iniparser_getstring(d, key, nullptr);
    if (!s || !*s)
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (errno || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

} // namespace

int InitUSBMapping(DeviceList &list, const char *path)
{
    // A missing mapping is the normal case of a station without fixtures: no message.
    if (!path || !*path || access(path, R_OK) != 0)
        return 0;
    dictionary *d = iniparser_load(path);
    if (!d)
        return 0;

    int count = 0;
    if (!read_int(d, "ports:noofports", &count) || count < 1 || count > 64) {
        iniparser_freedict(d);
        return 0;
    }

    int mapped = count;
    for (int i = 1; i <= count; i++) {
        char key[64];
        snprintf(key, sizeof key, "port%d:interfacename", i);
        const char *name = iniparser_getstring(d, key, nullptr);
        snprintf(key, sizeof key, "port%d:portno", i);
        int portno = 0;
        // A name that cannot fit the 260-byte buffer is a failed read, as the registry's is.
        if (!name || strlen(name) >= STATION_NAME_MAX || !read_int(d, key, &portno)) {
            mapped = i - 1;
            break;
        }
        int row = FindItemByPortNo(list, portno);
        if (row < 0) {
            char text[16];
            snprintf(text, sizeof text, "%d", portno);
            row = list.InsertItem(GetInsertMappingIndex(list, portno), text, nullptr);
            list.SetItemText(row, COL_INTERFACE_1, name);
        } else {
            list.SetItemText(row, COL_INTERFACE_2, name);
        }
    }
    iniparser_freedict(d);
    return mapped;
}
