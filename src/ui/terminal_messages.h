// ui (terminal): operator messages on a terminal. Used by the terminal front-end and by main()
// for start-up failures when no window can be shown.
//
// A message is its caption and text on standard error. The quit question is asked on the
// terminal when standard input is one (y answers Yes, any other key No); with no terminal
// attached there is nobody to ask, and the request (a signal) is taken as Yes.
#pragma once

#include "ui/operator_messages.h"

#include <cstdio>
#include <functional>

namespace ui
{

class TerminalMessages : public OperatorMessages
{
  public:
    explicit TerminalMessages(FILE *err = stderr, int tty_fd = 0) : err_(err), tty_fd_(tty_fd) {}

    void show(const std::string &text, const std::string &caption, MessageIcon icon) override;
    bool ask_yes_no(const std::string &text, const std::string &caption) override;

    // Where messages and the question go (standard error by default).
    void set_stream(FILE *err) { err_ = err; }
    FILE *stream() const { return err_; }

    // Run about every 100 ms while the question waits for its answer, so the station keeps
    // serving its phones meanwhile.
    void set_pump(std::function<void()> pump) { pump_ = std::move(pump); }

  private:
    FILE *err_;
    int tty_fd_;
    std::function<void()> pump_;
};

} // namespace ui
