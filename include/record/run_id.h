// The station program's run id: 32 random hex digits drawn once per program start, so two
// stations that share a station id (cloned PCs, the default host name) and start in the same
// second still tell their records and their live state apart. Any thread.
#pragma once

#include <string>

const std::string &station_run_id();
