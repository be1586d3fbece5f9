// tests: one page in a real headless Chromium (Debian's chromium), driven over the DevTools
// protocol on a pipe (--remote-debugging-pipe: commands in on fd 3, answers out on fd 4, each
// a JSON text ended by a NUL byte). For the line page's tests and its benchmark; one thread.
// The browser and its profile directory go with the object.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>

class ChromiumPage
{
  public:
    ChromiumPage() = default;
    ~ChromiumPage();
    ChromiumPage(const ChromiumPage &) = delete;
    ChromiumPage &operator=(const ChromiumPage &) = delete;

    // Why Chromium cannot be had here; empty when it can.
    static std::string unavailable();
    // Starts the browser with a width x height window and opens url in it. false with the
    // reason in *error.
    bool open(const std::string &url, std::string *error, int width = 1600, int height = 1000);
    // The value of a JavaScript expression in the page (a promise is awaited), or null with the
    // reason in *error (a thrown exception, no answer within timeout_ms).
    nlohmann::json eval(const std::string &expression, std::string *error = nullptr,
                        int timeout_ms = 10000);
    // Evaluates expression until it is true or timeout_ms passes; its last value is true.
    bool wait_for(const std::string &expression, int timeout_ms = 15000);
    // The page as a PNG file.
    bool screenshot(const std::string &png_path, std::string *error);

  private:
    nlohmann::json call(const std::string &method, const nlohmann::json &params, int timeout_ms,
                        std::string *error);
    pid_t pid_ = -1;
    int to_browser_ = -1;
    int from_browser_ = -1;
    long next_id_ = 1;
    std::string session_;
    std::string pending_; // bytes read after the last complete message
    std::string profile_;
};
