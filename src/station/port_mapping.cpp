// station core: the fixture port mapping, read from an INI file when the station starts (before
// the monitor thread exists). Called by Station::start().
#include "station/port_mapping.h"
#include "util/printable.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>

#include <iniparser.h>

namespace
{

// A value that is not present, or not wholly a decimal integer, counts as a failed read (as a
// missing registry value would): the mapping ends there. Decimal, as the registry's integers
// were: "010" is 10, and "08" is 8 rather than a broken octal number.
bool read_int(dictionary *d, const char *key, int *out)
{
    const char *s = iniparser_getstring(d, key, nullptr);
    if (!s || !*s)
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// Names the entry that ended the mapping, on standard error and for the job summary panel.
void report(std::string *problem, const char *path, const std::string &what)
{
    const std::string text = std::string("Port mapping ") + path + ": " + what;
    fprintf(stderr, "%s\n", printable(text).c_str());
    if (problem)
        *problem += (problem->empty() ? "" : "\n") + text;
}

// "Label is missing", or "Label = "value" is not <expected>".
std::string bad_value(dictionary *d, const char *key, const char *label, const char *expected)
{
    const char *s = iniparser_getstring(d, key, nullptr);
    if (!s || !*s)
        return std::string(label) + " is missing";
    return std::string(label) + " = \"" + s + "\" is not " + expected;
}

} // namespace

int InitUSBMapping(DeviceList &list, const char *path, std::string *problem)
{
    if (problem)
        problem->clear();
    // A missing mapping is the normal case of a station without fixtures: no message.
    if (!path || !*path || access(path, R_OK) != 0)
        return 0;
    dictionary *d = iniparser_load(path);
    if (!d) {
        report(problem, path, "the file cannot be read; no fixture is mapped");
        return 0;
    }

    int count = 0;
    if (!read_int(d, "ports:noofports", &count) || count < 1 || count > 64) {
        report(
            problem, path,
            bad_value(d, "ports:noofports", "[ports] NoOfPorts", "a decimal number from 1 to 64") +
                "; no fixture is mapped");
        iniparser_freedict(d);
        return 0;
    }

    int mapped = count;
    // Each interface name's first entry and fixture: a name under two entries maps only one.
    std::map<std::string, std::pair<int, int>> seen;
    for (int i = 1; i <= count; i++) {
        char key[64];
        snprintf(key, sizeof key, "port%d:interfacename", i);
        const char *name = iniparser_getstring(d, key, nullptr);
        snprintf(key, sizeof key, "port%d:portno", i);
        int portno = 0;
        // A name that cannot fit the 260-byte buffer is a failed read, as the registry's is.
        std::string why;
        char section[32];
        snprintf(section, sizeof section, "port%d", i);
        if (!iniparser_find_entry(d, section))
            why = "is missing";
        else if (!name)
            why = "has no InterfaceName";
        else if (strlen(name) >= STATION_NAME_MAX)
            why = "has an InterfaceName longer than 259 characters";
        else if (!read_int(d, key, &portno))
            why = bad_value(d, key, "PortNo", "a decimal number");
        if (!why.empty()) {
            report(problem, path,
                   "[Port" + std::to_string(i) + "] " + why + "; the mapping ends before it (" +
                       std::to_string(i - 1) + " of " + std::to_string(count) + " entries used)");
            mapped = i - 1;
            break;
        }
        const auto [first, fresh] = seen.emplace(name, std::make_pair(i, portno));
        if (!fresh)
            report(problem, path,
                   "[Port" + std::to_string(i) + "] InterfaceName \"" + name + "\" (fixture " +
                       std::to_string(portno) + ") is also the InterfaceName of [Port" +
                       std::to_string(first->second.first) + "] (fixture " +
                       std::to_string(first->second.second) + "): a phone there is taken for the "
                       "first fixture that names it");
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
