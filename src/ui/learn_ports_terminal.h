// ui (terminal): `bramblewick --learn-ports` on a terminal. Called by main(), which hands over
// its thread; tests call it with a pipe for the keys and a file for the output.
//
// On a terminal each key counts at once (Enter, s, a, q); from a pipe or a file, one line is
// one key (an empty line is Enter; end of input is q). Ctrl-C abandons learning: nothing is
// written.
#pragma once

#include <cstdio>
#include <string>

namespace ui
{

struct LearnPortsOptions {
    std::string mapping_path; // the file to write
    int in_fd = 0;
    FILE *out = stdout;
    int poll_ms = 100;                  // pause between enumeration passes
    int agent_wait_ms = 10000;          // how long the agent check waits for the agent
    const unsigned char *dkb = nullptr; // the agent the check pushes
    int dkb_size = 0;
};

// The whole session: learn, show the mapping, write it. 0 when the mapping was written or
// there was nothing to write; 1 when it could not be written (it is then printed in full, so
// nothing is lost) or the file is not writable to begin with.
int run_learn_ports_terminal(const LearnPortsOptions &options);

} // namespace ui
