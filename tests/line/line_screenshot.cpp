// tests: writes the line page's picture for the README (docs/line.png): a throwaway PostgreSQL
// server holding a demonstration line of three stations (the third silent), the line's feed and
// server in this process, the page in headless Chromium at 1920 x 1080.
//   line_screenshot FILE.png
#include "line/line_feed.h"
#include "line/line_server.h"
#include "line_demo.h"
#include "support/chromium_page.h"
#include "support/pg_cluster.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: line_screenshot FILE.png\n");
        return 2;
    }
    PgCluster cluster;
    std::string error;
    if (!cluster.create(&error) || !line_demo_write(cluster.conninfo(), 3, 16, true, &error)) {
        std::fprintf(stderr, "line_screenshot: %s\n", error.c_str());
        return 1;
    }
    line_hub hub;
    line_feed feed;
    line_feed_settings settings;
    settings.conninfo = cluster.conninfo();
    line_feed_start(&feed, settings, &hub);
    int port = 0;
    line_server *server = line_server_start("127.0.0.1", 0, &hub, &port, &error);
    bool ok = server != nullptr;
    {
        ChromiumPage page;
        ok = ok &&
             page.open("http://127.0.0.1:" + std::to_string(port) + "/", &error, 1920, 1080) &&
             page.wait_for("document.querySelectorAll('.tile').length === 3") &&
             page.wait_for("document.querySelector('.tile.silent')") &&
             page.screenshot(argv[1], &error);
    }
    line_feed_stop(&feed);
    line_hub_stop(&hub);
    line_server_stop(server);
    if (!ok) {
        std::fprintf(stderr, "line_screenshot: %s\n",
                     error.empty() ? "the page did not show "
                                     "the line"
                                   : error.c_str());
        return 1;
    }
    std::printf("wrote %s\n", argv[1]);
    return 0;
}
