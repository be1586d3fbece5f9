// record db: the factory record's configuration. Called by start-up on the main thread.
#include "recorddb/record_config.h"

#include <cerrno>
#include <cstring>
#include <iniparser.h>
#include <unistd.h>

int record_db_conninfo(const std::string &option, const std::string &config_path,
                       std::string *conninfo, std::string *error)
{
    conninfo->clear();
    if (!option.empty()) {
        *conninfo = option;
        return 0;
    }
    if (config_path.empty() || access(config_path.c_str(), F_OK) != 0)
        return 0;
    if (access(config_path.c_str(), R_OK) != 0) {
        *error = config_path + ": " + std::strerror(errno);
        return -1;
    }
    dictionary *ini = iniparser_load(config_path.c_str());
    if (!ini) {
        *error = config_path + ": not a readable INI file";
        return -1;
    }
    const char *value = iniparser_getstring(ini, "record:database", nullptr);
    if (value)
        *conninfo = value;
    iniparser_freedict(ini);
    return 0;
}
