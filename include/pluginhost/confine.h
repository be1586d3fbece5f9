// plug-in helper: confining the process a factory plug-in runs in. Called by the helper program
// (src/pluginhost/plugin_host_main.cpp) on its only thread, before the plug-in is loaded.
//
// Guarantee: after confine_process returns 0 the process runs as an unprivileged user when it
// was started as root (BRAMBLEWICK_PLUGIN_USER, else "nobody"), can never gain privileges
// again, has limits on address space, CPU time, processes and core size, and is the subreaper
// of whatever the plug-in starts; after confine_sweep_descendants no process the plug-in started
// is left, setsid() or not.
#pragma once

#include <cstdint>
#include <string>

// bytes: the read-back bytes the plug-in gets (its memory limit grows with them); timeout_ms:
// the station's time-out for the call (CPU time follows it). 0, or -1 with *why saying what
// could not be done: the plug-in must not run then.
int confine_process(uint64_t bytes, int timeout_ms, std::string *why);

// Kills and reaps every descendant. Async-signal-safe: also run from a signal handler.
void confine_sweep_descendants();
