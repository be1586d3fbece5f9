// benchmark of bramblewick-line: what the line's snapshot costs for 20 stations x 16 fixtures
// with a day of their phones (built from the database, and served as GET /api/line), and how
// long a fixture's change in the database takes to reach the page's DOM in headless Chromium
// (database UPDATE -> NOTIFY -> the feed's snapshot -> Server-Sent Event -> the page's drawing).
//
// Prints figures only; nothing here asserts on time. Usage: bench_line [requests] [changes]
// (default 200 and 50). Runs a throwaway PostgreSQL server of its own; the change figures are
// left out, with the reason, when Chromium is not installed.
#include "line/line_feed.h"
#include "line/line_server.h"
#include "line_demo.h"
#include "support/chromium_page.h"
#include "support/pg_cluster.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <httplib.h>
#include <libpq-fe.h>
#include <thread>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

struct Figures {
    double median = 0, max = 0;
};

Figures figures(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.back()};
}

double wall_ms()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

int main(int argc, char **argv)
{
    int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    int changes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
    const int stations = 20, fixtures = 16;

    PgCluster cluster;
    std::string error;
    if (!cluster.create(&error) ||
        !line_demo_write(cluster.conninfo(), stations, fixtures, false, &error)) {
        std::printf("## The line page\n\nNot measured: %s\n", error.c_str());
        return 0;
    }
    std::string phones =
        pg_query(cluster.conninfo(), "SELECT count(*) FROM bramblewick.phone_run").at(0).at(0);

    // The snapshot itself, on a connection of its own: whole, and the live part alone (what
    // each notification costs).
    std::vector<double> built, live;
    size_t bytes = 0;
    PGconn *conn = PQconnectdb(cluster.conninfo().c_str());
    for (int i = 0; i < requests; ++i) {
        nlohmann::json doc;
        clock_type::time_point t0 = clock_type::now();
        if (line_snapshot(conn, line_alarm_settings{}, &doc, &error) != 0) {
            std::printf("## The line page\n\nNot measured: %s\n", error.c_str());
            return 0;
        }
        bytes = doc.dump().size();
        built.push_back(ms_since(t0));
        t0 = clock_type::now();
        line_live(conn, &doc, &error);
        live.push_back(ms_since(t0));
    }
    PQfinish(conn);

    // The program's parts in this process: the feed and the server.
    line_hub hub;
    line_feed feed;
    line_feed_settings settings;
    settings.conninfo = cluster.conninfo();
    line_feed_start(&feed, settings, &hub);
    int port = 0;
    line_server *server = line_server_start("127.0.0.1", 0, &hub, &port, &error);
    if (!server) {
        std::printf("## The line page\n\nNot measured: %s\n", error.c_str());
        return 0;
    }
    std::vector<double> served;
    httplib::Client client("127.0.0.1", port);
    for (int i = 0; i < requests; ++i) {
        clock_type::time_point t0 = clock_type::now();
        auto res = client.Get("/api/line");
        if (res && res->status == 200)
            served.push_back(ms_since(t0));
    }

    // From an UPDATE of one fixture's status text to the page's DOM showing it.
    std::vector<double> reached;
    std::string why = ChromiumPage::unavailable();
    if (why.empty()) {
        ChromiumPage page;
        std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
        if (!page.open(url, &error, 1920, 1080) ||
            !page.wait_for("document.querySelectorAll('.tile').length === 20")) {
            why = "the page did not show the line: " + error;
        }
        for (int i = 0; why.empty() && i < changes; ++i) {
            std::string token = "bench change " + std::to_string(i);
            page.eval("window.bwSeen = new Promise(resolve => {"
                      " const observer = new MutationObserver(() => {"
                      "  if ([...document.querySelectorAll('.cell .text')].some(e => e.textContent"
                      "      === " +
                      nlohmann::json(token).dump() +
                      ")) {"
                      "   observer.disconnect();"
                      "   resolve(performance.timeOrigin + performance.now()); } });"
                      " observer.observe(document.getElementById('stations'),"
                      "  {childList: true, subtree: true, characterData: true}); }); true");
            double t0 = wall_ms();
            if (!line_demo_status(cluster.conninfo(), "line1-st07", 1 + i % fixtures, token,
                                  &error)) {
                why = error;
                break;
            }
            nlohmann::json seen = page.eval("window.bwSeen", &error, 10000);
            if (!seen.is_number()) {
                why = "the change did not reach the page: " + error;
                break;
            }
            reached.push_back(seen.get<double>() - t0);
            // Apart from one another, so each is a change of its own and not part of a burst.
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
    line_feed_stop(&feed);
    line_hub_stop(&hub);
    line_server_stop(server);

    Figures b = figures(built), l = figures(live), s = figures(served), r = figures(reached);
    std::printf("## The line page (bramblewick-line)\n\n");
    std::printf("%d stations x %d fixtures, %s phones today in the record, a local PostgreSQL "
                "server on a Unix socket; the document is %zu bytes.\n\n",
                stations, fixtures, phones.c_str(), bytes);
    std::printf("| | runs | median | max |\n|---|---|---|---|\n");
    std::printf("| whole snapshot built from the database (every %d ms) | %zu | %.2f ms | "
                "%.2f ms |\n",
                line_feed_settings{}.refresh_ms, built.size(), b.median, b.max);
    std::printf("| its live part alone (on a notification) | %zu | %.2f ms | %.2f ms |\n",
                live.size(), l.median, l.max);
    std::printf("| GET /api/line over HTTP (the feed's latest snapshot) | %zu | %.2f ms | "
                "%.2f ms |\n",
                served.size(), s.median, s.max);
    if (!reached.empty())
        std::printf("| a fixture's UPDATE to the page's DOM (NOTIFY, snapshot, event, drawing) | "
                    "%zu | %.1f ms | %.1f ms |\n",
                    reached.size(), r.median, r.max);
    std::printf("\nA change waits at most the feed's %d ms gap between snapshots, then the "
                "live part's time; the goal is 2 s.\n",
                LINE_FEED_MIN_GAP_MS);
    if (!why.empty())
        std::printf("\nThe change to the DOM is not measured: %s\n", why.c_str());
    return 0;
}
