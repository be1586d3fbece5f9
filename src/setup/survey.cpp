// setup: the phones on the bus and their fixtures (see setup/survey.h). Runs on main()'s thread.
#include "setup/survey.h"

#include "station/device_list.h"
#include "station/port_mapping.h"
#include "station/station.h"
#include "usb/usb.h"

#include <algorithm>
#include <cstdio>

namespace setup
{
namespace
{

bool phone_mode(unsigned vid, unsigned pid, PhoneMode *mode)
{
    if ((vid == BOOTROM_VID_1 && pid == BOOTROM_PID_1) ||
        (vid == BOOTROM_VID_2 && pid == BOOTROM_PID_2)) {
        *mode = PhoneMode::BootRom;
        return true;
    }
    if (vid == DKB_AGENT_VID && pid == DKB_AGENT_PID) {
        *mode = PhoneMode::Agent;
        return true;
    }
    return false;
}

} // namespace

const char *open_problem_text(int open_result)
{
    switch (open_result) {
    case USB_OPEN_DENIED:
        return "cannot be opened: permission denied";
    case USB_OPEN_BUSY:
        return "cannot be opened: busy (another program, a running station?, holds it)";
    case USB_OPEN_GONE:
        return "cannot be opened: it left the bus";
    default:
        return "cannot be opened";
    }
}

Survey survey_phones(const std::string &mapping_path)
{
    Survey s;
    // The station's own reader, so --list shows exactly the fixture the station would use.
    DeviceList rows;
    if (!mapping_path.empty())
        s.mapped_entries = InitUSBMapping(rows, mapping_path.c_str());

    std::vector<std::string> paths;
    s.bus_listed = usb_enumerate(&paths) == 0;
    for (const std::string &path : paths) {
        SurveyEntry e;
        char port[USB_PATH_MAX];
        if (path.size() >= USB_PATH_MAX ||
            GetVIDPIDFromDevicePath(path.c_str(), &e.vid, &e.pid) != 0 ||
            !phone_mode(e.vid, e.pid, &e.mode) || ExtractInterfaceName(path.c_str(), port) != 0)
            continue;
        e.port = port;
        int row = FindMappedUSBListItem(rows, port);
        if (row >= 0)
            e.fixture = rows.text(row, COL_FIXTURE_ID);
        e.open_result = usb_check_open(path.c_str());
        s.phones.push_back(std::move(e));
    }
    std::stable_sort(s.phones.begin(), s.phones.end(),
                     [](const SurveyEntry &a, const SurveyEntry &b) { return a.port < b.port; });
    return s;
}

std::string format_survey(const Survey &survey, const std::string &mapping_path)
{
    std::string out;
    char line[512];
    if (mapping_path.empty())
        out += "Port mapping: none\n";
    else if (survey.mapped_entries == 0)
        out += "Port mapping: " + mapping_path + " is missing or not valid\n";
    else
        out += "Port mapping: " + mapping_path + " (" + std::to_string(survey.mapped_entries) +
               " port entries)\n";
    if (!survey.bus_listed)
        out += "No USB device list could be had (is there a USB bus?)\n";
    if (survey.phones.empty()) {
        out += "No phones found.\n";
        return out;
    }
    size_t width = 4;
    for (const SurveyEntry &e : survey.phones)
        width = std::max(width, e.port.size());
    snprintf(line, sizeof line, "%-*s  %-9s  %-22s  %s\n", static_cast<int>(width), "PORT", "ID",
             "MODE", "FIXTURE");
    out += line;
    bool denied = false;
    for (const SurveyEntry &e : survey.phones) {
        char id[16];
        snprintf(id, sizeof id, "%04x:%04x", e.vid, e.pid);
        std::string fixture = e.fixture.empty() ? "not mapped" : "fixture " + e.fixture;
        snprintf(
            line, sizeof line, "%-*s  %-9s  %-22s  %s", static_cast<int>(width), e.port.c_str(), id,
            e.mode == PhoneMode::BootRom ? "boot ROM download mode" : "DKB agent", fixture.c_str());
        out += line;
        if (e.open_result != USB_OPEN_OK) {
            out += "  ";
            out += open_problem_text(e.open_result);
            denied |= e.open_result == USB_OPEN_DENIED;
        }
        out += '\n';
    }
    if (denied)
        out += "Phones the station cannot open are left alone during a shift. Install the udev "
               "rules\n(60-bramblewick.rules, in the package) and add the user to the group "
               "bramblewick\n(sudo usermod -aG bramblewick $USER), log in again and re-plug the "
               "phones.\n";
    return out;
}

} // namespace setup
