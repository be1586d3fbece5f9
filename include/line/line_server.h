// line server: the line program's HTTP side, through cpp-httplib. Started by the program's main
// thread; httplib serves each request on a thread of its pool. Handlers only read the hub
// (line_feed.h), never the database.
//
//   GET /          the line page (HTML, script and style compiled into the program)
//   GET /api/line  the latest snapshot as JSON
//   GET /events    Server-Sent Events: the latest snapshot at once, then every new one
//   GET /chart.js  Debian's Chart.js (libjs-chart.js), read at start; 404 when not installed
#pragma once

#include "line/line_feed.h"

#include <string>

struct line_server;

inline constexpr const char *LINE_CHART_JS = "/usr/share/javascript/chart.js/chart.min.js";

// Binds host:port (port 0: any free port, reported in *bound_port) and serves on a thread of
// its own. The server, or null with the reason in *error.
line_server *line_server_start(const std::string &host, int port, line_hub *hub, int *bound_port,
                               std::string *error);
// Ends every open event stream and the server, then frees it. The hub must be stopped first
// (line_hub_stop), or open event streams keep their threads until their next keep-alive.
void line_server_stop(line_server *server);
