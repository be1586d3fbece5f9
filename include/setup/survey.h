// setup: what is on the bus, for `bramblewick --list`. Called by main() on its own thread, with
// no station running in this process: it enumerates, opens and closes each phone once to see
// whether the station could use it, and looks each port up in the port mapping.
#pragma once

#include <string>
#include <vector>

namespace setup
{

enum class PhoneMode { BootRom, Agent };

struct SurveyEntry {
    std::string port; // the interface name the mapping uses (hub port path)
    unsigned vid = 0, pid = 0;
    PhoneMode mode = PhoneMode::BootRom;
    std::string fixture; // the mapped row's fixture number, "" when the port is not mapped
    int open_result = 0; // usb_check_open's code: USB_OPEN_OK or why it cannot be opened
};

struct Survey {
    std::vector<SurveyEntry> phones; // ordered by port
    int mapped_entries = 0;          // port entries the mapping gave (0: none or not valid)
    bool bus_listed = true;          // false when no device list could be had at all
};

// Every phone present (boot ROM download mode of either identity, or the running DKB agent),
// with its fixture under the mapping at mapping_path ("" for none).
Survey survey_phones(const std::string &mapping_path);

// The survey as the terminal shows it: one line per phone, then what the engineer should do
// about phones that cannot be opened.
std::string format_survey(const Survey &survey, const std::string &mapping_path);

// Why a phone cannot be opened, for an open_result other than USB_OPEN_OK.
const char *open_problem_text(int open_result);

} // namespace setup
