// tests: headless Chromium over the DevTools pipe.
#include "support/chromium_page.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace
{
const char *kChromium = "/usr/bin/chromium";

int ms_left(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
} // namespace

std::string ChromiumPage::unavailable()
{
    if (access(kChromium, X_OK) != 0)
        return std::string(kChromium) + " is not installed (Debian package chromium)";
    return {};
}

ChromiumPage::~ChromiumPage()
{
    if (to_browser_ >= 0)
        close(to_browser_);
    if (from_browser_ >= 0)
        close(from_browser_);
    if (pid_ > 0) {
        // Its own process group: the wrapper script, the browser and its helpers go together.
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!profile_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(profile_, ec);
    }
}

bool ChromiumPage::open(const std::string &url, std::string *error, int width, int height)
{
    char tmpl[] = "/tmp/bw-chromium-XXXXXX";
    if (!mkdtemp(tmpl)) {
        *error = "mkdtemp failed";
        return false;
    }
    profile_ = tmpl;
    int in[2], out[2]; // in: to the browser; out: from it
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    std::string profile_arg = "--user-data-dir=" + profile_;
    std::string size_arg = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
    std::string log = profile_ + "/chromium.log";
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        // dup2 clears close-on-exec on the copies; fds 3 and 4 are what the pipe mode reads.
        int r = dup2(in[0], 10), w = dup2(out[1], 11);
        if (r < 0 || w < 0 || dup2(r, 3) < 0 || dup2(w, 4) < 0)
            _exit(127);
        int logfd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (logfd >= 0) {
            dup2(logfd, 1);
            dup2(logfd, 2);
        }
        execl(kChromium, kChromium, "--headless", "--no-sandbox", "--disable-gpu",
              "--remote-debugging-pipe", "--no-first-run", "--no-default-browser-check",
              "--disable-extensions", "--disable-background-networking", "--hide-scrollbars",
              "--mute-audio", profile_arg.c_str(), size_arg.c_str(), "about:blank",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid_ > 0)
        setpgid(pid_, pid_); // as the child does: whichever runs first
    close(in[0]);
    close(out[1]);
    to_browser_ = in[1];
    from_browser_ = out[0];
    if (pid_ < 0) {
        *error = "fork failed";
        return false;
    }
    json target = call("Target.createTarget", {{"url", url}}, 60000, error);
    if (!target.contains("targetId"))
        return false;
    json attached = call("Target.attachToTarget",
                         {{"targetId", target["targetId"]}, {"flatten", true}}, 10000, error);
    if (!attached.contains("sessionId"))
        return false;
    session_ = attached["sessionId"].get<std::string>();
    if (!wait_for("document.readyState === 'complete' && location.href !== 'about:blank'", 30000)) {
        *error = "the page did not load: " + url;
        return false;
    }
    return true;
}

json ChromiumPage::call(const std::string &method, const json &params, int timeout_ms,
                        std::string *error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    long id = next_id_++;
    json message = {{"id", id}, {"method", method}, {"params", params}};
    if (!session_.empty() && method.rfind("Target.", 0) != 0)
        message["sessionId"] = session_;
    std::string text = message.dump();
    text.push_back('\0');
    for (size_t done = 0; done < text.size();) {
        ssize_t w = write(to_browser_, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            *error = "the browser is gone";
            return nullptr;
        }
        done += static_cast<size_t>(w);
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t end;
        while ((end = pending_.find('\0')) != std::string::npos) {
            json answer = json::parse(pending_.substr(0, end), nullptr, false);
            pending_.erase(0, end + 1);
            if (!answer.is_object() || answer.value("id", -1L) != id)
                continue; // an event, or an answer nobody waits for any more
            if (answer.contains("error")) {
                *error = method + ": " + answer["error"].dump();
                return nullptr;
            }
            return answer["result"];
        }
        pollfd p = {from_browser_, POLLIN, 0};
        int n = poll(&p, 1, ms_left(deadline));
        if (n == 0) {
            *error = method + ": no answer within " + std::to_string(timeout_ms) + " ms";
            return nullptr;
        }
        char buf[65536];
        ssize_t r = n > 0 ? read(from_browser_, buf, sizeof buf) : -1;
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            *error = "the browser is gone (see " + profile_ + "/chromium.log)";
            return nullptr;
        }
        pending_.append(buf, static_cast<size_t>(r));
    }
}

json ChromiumPage::eval(const std::string &expression, std::string *error, int timeout_ms)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    json result = call("Runtime.evaluate",
                       {{"expression", expression},
                        {"returnByValue", true},
                        {"awaitPromise", true},
                        {"timeout", timeout_ms}},
                       timeout_ms + 1000, error);
    if (result.is_null())
        return nullptr;
    if (result.contains("exceptionDetails")) {
        *error = result["exceptionDetails"].dump();
        return nullptr;
    }
    return result["result"].value("value", json());
}

bool ChromiumPage::wait_for(const std::string &expression, int timeout_ms)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (eval("!!(" + expression + ")", nullptr, std::max(ms_left(deadline), 1000)) == true)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool ChromiumPage::screenshot(const std::string &png_path, std::string *error)
{
    json shot = call("Page.captureScreenshot", {{"format", "png"}}, 30000, error);
    if (!shot.contains("data"))
        return false;
    std::string b64 = shot["data"].get<std::string>();
    std::string png(b64.size() / 4 * 3 + 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(png.data()),
                            reinterpret_cast<const unsigned char *>(b64.data()),
                            static_cast<int>(b64.size()));
    if (n < 0) {
        *error = "the screenshot is not base64";
        return false;
    }
    // EVP_DecodeBlock counts the padding's bytes too.
    size_t pad = b64.size() >= 2 ? (b64.end()[-1] == '=') + (b64.end()[-2] == '=') : 0;
    png.resize(static_cast<size_t>(n) - pad);
    std::ofstream out(png_path, std::ios::binary | std::ios::trunc);
    out << png;
    if (!out.flush()) {
        *error = "cannot write " + png_path;
        return false;
    }
    return true;
}
