// line server: routes over the hub. The main thread starts and stops it; requests run on
// httplib's pool.
#include "line/line_server.h"

#include <chrono>
#include <fstream>
#include <httplib.h>
#include <memory>
#include <sstream>
#include <sys/socket.h>
#include <thread>

const char *line_page_html();
const char *line_page_js();
const char *line_page_css();

struct line_server {
    httplib::Server http;
    std::thread thread;
    std::string chart; // empty when the package is missing
};

namespace
{

// One thread per open page (each holds an event stream), with room for the line's screens.
constexpr size_t kWorkers = 64;
// A comment line this often keeps an idle stream's proxies and sockets from timing out.
constexpr int kKeepAliveMs = 15000;

std::string read_file(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void no_store(httplib::Response &res)
{
    res.set_header("Cache-Control", "no-store");
}

// The page runs only its own scripts: whatever a station writes into its texts never runs.
void page_headers(httplib::Response &res)
{
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; object-src 'none'; "
                   "base-uri 'none'; frame-ancestors 'none'");
    res.set_header("X-Content-Type-Options", "nosniff");
}

void routes(line_server *server, line_hub *hub)
{
    httplib::Server &http = server->http;
    http.Get("/", [](const httplib::Request &, httplib::Response &res) {
        page_headers(res);
        res.set_content(line_page_html(), "text/html; charset=utf-8");
    });
    http.Get("/line.js", [](const httplib::Request &, httplib::Response &res) {
        page_headers(res);
        res.set_content(line_page_js(), "text/javascript; charset=utf-8");
    });
    http.Get("/line.css", [](const httplib::Request &, httplib::Response &res) {
        page_headers(res);
        res.set_content(line_page_css(), "text/css; charset=utf-8");
    });
    http.Get("/chart.js", [server](const httplib::Request &, httplib::Response &res) {
        if (server->chart.empty()) {
            res.status = 404;
            res.set_content(std::string(LINE_CHART_JS) + " is not installed (libjs-chart.js)\n",
                            "text/plain; charset=utf-8");
            return;
        }
        page_headers(res);
        res.set_content(server->chart, "text/javascript; charset=utf-8");
    });
    http.Get("/api/line", [hub](const httplib::Request &, httplib::Response &res) {
        no_store(res);
        res.set_content(line_hub_latest(hub), "application/json");
    });
    http.Get("/events", [hub](const httplib::Request &, httplib::Response &res) {
        no_store(res);
        auto seen = std::make_shared<uint64_t>(0); // 0: the latest goes out at once
        res.set_chunked_content_provider(
            "text/event-stream", [hub, seen](size_t, httplib::DataSink &sink) {
                std::string doc;
                int got = line_hub_wait(hub, seen.get(), &doc, kKeepAliveMs);
                if (got < 0)
                    return false;
                // The JSON is one line (its strings' line breaks are escaped), so it is one
                // data field; the browser reconnects a second after a break.
                std::string message =
                    got ? "retry: 1000\ndata: " + doc + "\n\n" : std::string(": alive\n\n");
                return sink.write(message.data(), message.size());
            });
    });
}

} // namespace

line_server *line_server_start(const std::string &host, int port, line_hub *hub, int *bound_port,
                               std::string *error)
{
    auto server = std::make_unique<line_server>();
    server->chart = read_file(LINE_CHART_JS);
    server->http.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    // httplib's default shares the port (SO_REUSEPORT): a second program on it would take
    // half the screens' requests. Reusing the address alone restarts at once and refuses that.
    server->http.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    routes(server.get(), hub);
    if (port == 0) {
        port = server->http.bind_to_any_port(host);
        if (port < 0) {
            *error = "cannot listen on " + host + ": no free port";
            return nullptr;
        }
    } else if (!server->http.bind_to_port(host, port)) {
        *error = "cannot listen on " + host + ":" + std::to_string(port) +
                 " (in use, or not an address of this PC)";
        return nullptr;
    }
    *bound_port = port;
    line_server *s = server.release();
    s->thread = std::thread([s] { s->http.listen_after_bind(); });
    // stop() only ends a server that is running: wait until it is, so a stop at once works.
    while (!s->http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return s;
}

void line_server_stop(line_server *server)
{
    if (!server)
        return;
    server->http.stop();
    if (server->thread.joinable())
        server->thread.join();
    delete server;
}
