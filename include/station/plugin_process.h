// station core: one run of the plug-in helper program (bramblewick-plugin-host). Called by the
// plug-in host (post_plugin_handler.cpp): at start-up on the main thread to check the plug-in,
// and on each phone's download thread to judge it. Every run is its own process, started with
// posix_spawn, so a run that hangs or crashes is killed and reaped without touching the station
// or any other phone's run. No state is shared between runs; any number may run at once.
// Where Debian's bubblewrap works, each run is inside a PID namespace of its own, so nothing the
// plug-in starts outlives the run even when the helper is killed; the helper confines itself
// further (pluginhost/confine.h).
#pragma once

#include <atomic>
#include <string>

#include "pluginhost/plugin_wire.h"

// The bytes read back for the plug-in, in a shared memory file (memfd) the helper maps. The
// bytes end on a page boundary, where the helper puts a guard page.
struct plugin_shared_buffer {
    int fd = -1;
    unsigned char *map = nullptr; // the whole file, shared and writable
    size_t map_size = 0;
    size_t offset = 0; // where the bytes start
    int size = 0;
    char *data() const { return reinterpret_cast<char *>(map + offset); }
};

// 0, or -1 when the shared file cannot be had (size <= 0, no memory).
int plugin_shared_buffer_alloc(plugin_shared_buffer *b, int size);
void plugin_shared_buffer_free(plugin_shared_buffer *b); // accepts a never-allocated one

enum plugin_run_result {
    PLUGIN_RUN_ANSWERED = 0,    // *reply holds the helper's reply
    PLUGIN_RUN_TIMED_OUT = 1,   // no reply within the time-out; the helper was killed
    PLUGIN_RUN_CRASHED = 2,     // the helper ended (signal or exit) without a reply
    PLUGIN_RUN_CANCELLED = 3,   // *cancel was raised; the helper was killed
    PLUGIN_RUN_NOT_STARTED = 4, // the helper could not be started
};

// Starts host_path, sends req (with buf as the shared bytes for a call, or null), and waits for
// the reply up to timeout_ms from the start, looking at *cancel (may be null) every 20 ms. The
// helper is always reaped before this returns. A PLUGIN_RUN_* value; a line on stderr says why
// for every result but ANSWERED and CANCELLED. The helper's (and so the plug-in's) standard
// output and error go to a file of its own in output_dir, "<YYYYmmdd-HHMMSS>-<n>.log", removed
// again when the call wrote nothing; with no output_dir, or when the file cannot be made, to
// /dev/null. Never to the station's terminal.
int plugin_process_run(const std::string &host_path, const plugin_request &req,
                       const plugin_shared_buffer *buf, int timeout_ms,
                       const std::atomic<int> *cancel, plugin_reply *reply,
                       const std::string &output_dir = {});

// Where the station finds the helper: beside its own executable, else the installed path.
std::string plugin_host_default_path();
