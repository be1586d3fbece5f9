// ui (terminal): the --learn-ports session on a terminal (see learn_ports_terminal.h). Runs on
// main()'s thread; the learning itself is setup::PortLearner's.
#include "learn_ports_terminal.h"

#include "setup/mapping_file.h"
#include "setup/port_learning.h"
#include "terminal_keys.h"
#include "usb/usb.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace ui
{
namespace
{

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int)
{
    g_interrupted = 1;
}

bool key_of(char c, setup::LearnKey *k)
{
    switch (c) {
    case '\n':
    case '\r':
        *k = setup::LearnKey::Take;
        return true;
    case 's':
    case 'S':
        *k = setup::LearnKey::Skip;
        return true;
    case 'a':
    case 'A':
        *k = setup::LearnKey::AgentCheck;
        return true;
    case 'q':
    case 'Q':
        *k = setup::LearnKey::Quit;
        return true;
    default:
        return false;
    }
}

// Reads what is waiting on fd into keys. False at end of input.
bool read_keys(int fd, bool single_keys, std::string *line, std::vector<setup::LearnKey> *keys)
{
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    for (ssize_t i = 0; i < n; ++i) {
        setup::LearnKey k;
        if (single_keys) {
            if (key_of(buf[i], &k))
                keys->push_back(k);
        } else if (buf[i] == '\n') {
            // A line is one key: its first letter, or Enter for an empty one.
            size_t first = line->find_first_not_of(" \t\r");
            if (key_of(first == std::string::npos ? '\n' : (*line)[first], &k))
                keys->push_back(k);
            line->clear();
        } else {
            *line += buf[i];
        }
    }
    return true;
}

void say(FILE *out, const std::vector<std::string> &lines)
{
    for (const std::string &l : lines)
        fprintf(out, "  %s\n", l.c_str());
}

} // namespace

int run_learn_ports_terminal(const LearnPortsOptions &o)
{
    FILE *out = o.out;
    std::string error;
    if (setup::check_mapping_writable(o.mapping_path, &error) != 0) {
        fprintf(out, "bramblewick: %s\n", error.c_str());
        fflush(out);
        return 1;
    }
    fprintf(out,
            "Learning the fixture ports; the mapping goes to %s.\n"
            "Plug a phone in boot ROM download mode into each fixture in turn. Phones already\n"
            "plugged in count once they are re-plugged.\n",
            o.mapping_path.c_str());

    struct sigaction sa {
    };
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    struct sigaction old_int {
    };
    g_interrupted = 0;
    sigaction(SIGINT, &sa, &old_int);
    TerminalKeys mode(o.in_fd, 1); // each read waits for a key

    std::vector<std::string> paths;
    usb_enumerate(&paths);
    setup::PortLearner learner(paths);
    std::string shown_prompt;
    std::string line;
    bool input_open = true;
    while (learner.state() != setup::PortLearner::Done && !g_interrupted) {
        if (learner.prompt() != shown_prompt) {
            shown_prompt = learner.prompt();
            fprintf(out, "%s\n", shown_prompt.c_str());
        }
        fflush(out);

        std::vector<setup::LearnKey> keys;
        pollfd pfd{o.in_fd, POLLIN, 0};
        if (input_open && poll(&pfd, 1, o.poll_ms) > 0 && (pfd.revents & (POLLIN | POLLHUP)))
            input_open = read_keys(o.in_fd, mode.active(), &line, &keys);
        if (!input_open)
            keys.push_back(setup::LearnKey::Quit);
        if (keys.empty()) {
            paths.clear();
            if (usb_enumerate(&paths) == 0)
                say(out, learner.poll(paths));
            if (!input_open || o.in_fd < 0)
                usleep(static_cast<useconds_t>(o.poll_ms) * 1000);
            continue;
        }
        for (setup::LearnKey k : keys) {
            say(out, learner.key(k));
            if (learner.state() == setup::PortLearner::CheckingAgent) {
                fprintf(out, "%s\n", learner.prompt().c_str());
                fflush(out);
                std::string agent_port;
                int rc = setup::agent_check(learner.found_path(), o.dkb, o.dkb_size,
                                            o.agent_wait_ms, &agent_port);
                say(out, learner.agent_checked(rc, agent_port));
                shown_prompt.clear(); // ask again after the check's own lines
            }
            if (learner.state() == setup::PortLearner::Done)
                break;
        }
    }
    sigaction(SIGINT, &old_int, nullptr);

    if (g_interrupted) {
        fprintf(out, "\nInterrupted: %s left as it was.\n", o.mapping_path.c_str());
        return 1;
    }
    const std::vector<setup::PortEntry> &entries = learner.entries();
    if (entries.empty()) {
        fprintf(out, "Nothing learned: %s left as it was.\n", o.mapping_path.c_str());
        return 0;
    }
    fprintf(out, "The mapping:\n");
    say(out, setup::describe_mapping(entries));
    std::string backup;
    if (setup::write_port_mapping(o.mapping_path, entries, &backup, &error) != 0) {
        fprintf(out, "bramblewick: %s\nThe mapping, to write by hand:\n%s", error.c_str(),
                setup::format_port_mapping(entries, "by hand").c_str());
        return 1;
    }
    fprintf(out, "Written to %s", o.mapping_path.c_str());
    if (!backup.empty())
        fprintf(out, " (the previous one is kept as %s)", backup.c_str());
    fprintf(out, ".\n");
    fflush(out);
    return 0;
}

} // namespace ui
