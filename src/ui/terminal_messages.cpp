// ui (terminal): operator messages on standard error and the terminal. Called by start-up and
// by the terminal front-end's close request.
#include "terminal_messages.h"
#include "util/printable.h"

#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace ui
{

void TerminalMessages::show(const std::string &text, const std::string &caption, MessageIcon)
{
    // The caption says the severity ("Error", "Warning"), as a message box's title would.
    std::fprintf(err_, "%s: %s\n", printable(caption).c_str(), printable(text).c_str());
    std::fflush(err_);
}

bool TerminalMessages::ask_yes_no(const std::string &text, const std::string &caption)
{
    if (tty_fd_ < 0 || !isatty(tty_fd_))
        return true;

    std::fprintf(err_, "\n%s: %s [y/N] ", printable(caption).c_str(), printable(text).c_str());
    std::fflush(err_);

    // One key answers; Ctrl-C during the question is a key like any other (No).
    termios saved{};
    bool restore = tcgetattr(tty_fd_, &saved) == 0;
    if (restore) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(tty_fd_, TCSANOW, &raw);
    }
    char key = 0;
    for (;;) {
        pollfd p = {tty_fd_, POLLIN, 0};
        int n = poll(&p, 1, 100);
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0) {
            if (read(tty_fd_, &key, 1) != 1)
                key = 0;
            break;
        }
        if (pump_)
            pump_();
    }
    if (restore)
        tcsetattr(tty_fd_, TCSANOW, &saved);
    bool yes = key == 'y' || key == 'Y';
    std::fprintf(err_, "%s\n", yes ? "yes" : "no");
    std::fflush(err_);
    return yes;
}

} // namespace ui
