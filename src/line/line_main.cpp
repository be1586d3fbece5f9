// line program (bramblewick-line): the web view of the whole line. The main thread parses the
// command line, starts the feed thread (line_feed.h) and the HTTP server (line_server.h), then
// waits for SIGINT or SIGTERM and stops both. It needs only SELECT and LISTEN on the factory
// database, and starts whether or not the database answers: the page says so until it does.
// Exit code 0 after a signal, 1 when it cannot listen, 2 for a command line it cannot use.
#include "line/line_feed.h"
#include "line/line_server.h"
#include "recorddb/record_config.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>

namespace
{

struct Args {
    std::string record_db;
    std::string station_config = STATION_CONFIG_DEFAULT_PATH;
    std::string listen = "127.0.0.1:8080";
    line_alarm_settings alarms;
};

// "host:port", "[v6]:port" or ":port" (every address). 0, or -1 with the reason.
int split_listen(const std::string &text, std::string *host, int *port, std::string *error)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *error = "--listen " + text + ": give ADDR:PORT";
        return -1;
    }
    *host = text.substr(0, colon);
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    if (host->empty())
        *host = "0.0.0.0";
    std::string p = text.substr(colon + 1);
    char *end = nullptr;
    long value = std::strtol(p.c_str(), &end, 10);
    if (p.empty() || *end || value < 0 || value > 65535) {
        *error = "--listen " + text + ": the port must be 0 to 65535";
        return -1;
    }
    *port = static_cast<int>(value);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Args a;
    CLI::App app{"Serves a live web page of every station of the line, read from the factory "
                 "database's live state.",
                 "bramblewick-line"};
    app.get_formatter()->column_width(34);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    bool version = false;
    app.add_flag("--version", version, "print the version and end");
    app.add_option("--record-db", a.record_db,
                   "the factory database (libpq connection string or URI; default: [record] "
                   "database of the station configuration)")
        ->type_name("CONNINFO");
    app.add_option("--station-config", a.station_config,
                   std::string("station configuration (default ") + STATION_CONFIG_DEFAULT_PATH +
                       ")")
        ->type_name("FILE");
    app.add_option("--listen", a.listen,
                   "address and port of the page (default 127.0.0.1:8080, this PC only; "
                   "0.0.0.0:8080 for the whole network; port 0 picks a free one)")
        ->type_name("ADDR:PORT");
    app.add_option("--yield-alarm", a.alarms.yield_alarm_percent,
                   "alarm when a station's yield over its last phones is below this (default 90)")
        ->type_name("PERCENT")
        ->check(CLI::Range(0.0, 100.0).description(""));
    app.add_option("--yield-window", a.alarms.yield_window,
                   "how many of a station's last phones the yield alarm looks at (default 20)")
        ->type_name("N")
        ->check(CLI::Range(1, 100000).description(""));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (version) {
        std::printf("bramblewick-line %s\n", BW_VERSION);
        return 0;
    }

    line_feed_settings settings;
    settings.alarms = a.alarms;
    std::string error;
    if (record_db_conninfo(a.record_db, a.station_config, &settings.conninfo, &error) != 0) {
        std::fprintf(stderr, "bramblewick-line: %s\n", error.c_str());
        return 2;
    }
    if (settings.conninfo.empty()) {
        std::fprintf(stderr,
                     "bramblewick-line: no factory database: give --record-db CONNINFO, or "
                     "[record] database in %s\n",
                     a.station_config.c_str());
        return 2;
    }
    std::string host;
    int port = 0;
    if (split_listen(a.listen, &host, &port, &error) != 0) {
        std::fprintf(stderr, "bramblewick-line: %s\n", error.c_str());
        return 2;
    }

    // The signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quit, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    line_hub hub;
    line_hub_publish(&hub, nlohmann::json{{"stations", nlohmann::json::array()},
                                          {"alarms", nlohmann::json::array()},
                                          {"database", {{"ok", false}, {"error", "connecting"}}}}
                               .dump());
    int bound = 0;
    line_server *server = line_server_start(host, port, &hub, &bound, &error);
    if (!server) {
        std::fprintf(stderr, "bramblewick-line: %s\n", error.c_str());
        return 1;
    }
    line_feed feed;
    if (int rc = line_feed_start(&feed, settings, &hub); rc != 0) {
        std::fprintf(stderr, "bramblewick-line: cannot start: %s\n", std::strerror(-rc));
        line_hub_stop(&hub);
        line_server_stop(server);
        return 1;
    }
    bool v6 = host.find(':') != std::string::npos;
    std::printf("bramblewick-line: serving the line on http://%s%s%s:%d/\n", v6 ? "[" : "",
                host.c_str(), v6 ? "]" : "", bound);
    std::fflush(stdout);

    int sig = 0;
    sigwait(&quit, &sig);
    line_feed_stop(&feed);
    line_hub_stop(&hub);
    line_server_stop(server);
    return 0;
}
