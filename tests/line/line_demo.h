// tests: a demonstration line written into the live tables and the phone record with SQL, as
// stations would: for the line page's screenshot and its benchmark.
#pragma once

#include <string>

// `stations` stations ("line1-st01", ...) of `fixtures` fixtures each, in a mix of states, with
// today's phones (one every 20 to 30 s since the day began, a few failed). With `silent`, the
// last station's heartbeat is a minute old. Replaces what the tables held. false with the
// reason in *error.
bool line_demo_write(const std::string &conninfo, int stations, int fixtures, bool silent,
                     std::string *error);
// Station `station`'s fixture `fixture` now shows status_text `text`.
bool line_demo_status(const std::string &conninfo, const std::string &station, int fixture,
                      const std::string &text, std::string *error);
