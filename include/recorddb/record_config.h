// record db: where the factory record goes. Called by start-up on the main thread, before the
// station starts.
//
// The database is off unless configured: --record-db CONNINFO on the command line, or else the
// key `database` of section [record] in the station's configuration file
// (/etc/bramblewick/station.ini, or --station-config FILE). A value holding ';' or '#' must be
// written in double quotes there, as the INI reader ends an unquoted value at either.
#pragma once

#include <string>

inline constexpr const char *STATION_CONFIG_DEFAULT_PATH = "/etc/bramblewick/station.ini";

// The connection string (a libpq key=value string or a postgresql:// URI) to ship to: option
// when it is not empty, else the configuration file's [record] database. Empty for none. 0, or
// -1 with the reason in *error when the file exists but cannot be read; a missing file is no
// error (a station without one has no database).
int record_db_conninfo(const std::string &option, const std::string &config_path,
                       std::string *conninfo, std::string *error);
