// ui (terminal): the station window on a terminal. Created by main() for --terminal or when no
// display is available; run by start-up like the Qt window.
//
// Its loop is the station's window thread: it drains the station's messages (woken through a
// pipe), runs the one-second timer, reads keys and signals. On a terminal the rows are redrawn
// in place with colours; otherwise every change is one line, for logs and pipes. q or Ctrl-C
// asks the quit question (with no terminal attached, SIGINT quits at once); SIGTERM quits at once.
#pragma once

#include "station_companion.h"
#include "terminal_messages.h"
#include "ui/startup.h"

#include <cstdio>

namespace ui
{

struct TerminalWindowOptions {
    FILE *out = stdout;
    int in_fd = 0;                // keys come from here when it is a terminal
    bool redraw_in_place = false; // out is a terminal: a live table instead of lines
    bool time_stamps = true;      // line mode: each line starts with the local time
    StationCompanion *companion = nullptr;
};

class TerminalWindow : public StationWindow
{
  public:
    TerminalWindow(TerminalMessages &messages, TerminalWindowOptions options)
        : messages_(messages), opt_(options)
    {
    }
    void run(StationSetup &setup) override;

  private:
    TerminalMessages &messages_;
    TerminalWindowOptions opt_;
};

// The window's caption, shared with the Qt window.
std::string station_caption();

} // namespace ui
