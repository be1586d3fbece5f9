// station core: the post-flash plug-in host. Called by start-up (plugin_handler_init), the job
// summary (plugin_handler_get_name) and each download thread (the read range and the per-phone
// call). The plug-in's interface is in station/bramblewick_plugin.h.
//
// The plug-in never runs in the station's process: start-up checks it in one run of the helper
// program bramblewick-plugin-host, and every phone is judged in a fresh run of its own
// (station/plugin_process.h), limited by the "timeout" key. A started host keeps no mutable
// state and takes no lock: its getters and the per-phone call may run on many download threads
// at once.
#pragma once

#include <string>

#include <atomic>

#include "station/bramblewick_plugin.h"
#include "station/plugin_process.h"

enum {
    ERROR_POST_PLUGIN_NO_DLL_NAME = 1,          // the file exists but names no library
    ERROR_POST_PLUGIN_LOAD_DLL_FAILED = 2,      // the library did not load (or the helper failed)
    ERROR_POST_PLUGIN_LOAD_DLL_FUNC_FAILED = 3, // one of the five exports is missing
    ERROR_POST_PLUGIN_INIT_DLL_FAILED = 4,      // plugin_init returned null
};

inline constexpr const char *POST_PLUGIN_INI = "./post_plugin.ini";
inline constexpr int POST_PLUGIN_DEFAULT_TIMEOUT_S = 60;

// Reads ini_path (section [Plugin]: dll_name, extra_read_addr, extra_read_size, timeout), then
// checks the plug-in in one run of the helper at host_path (null: plugin_host_default_path()):
// the library loads, has the five exports, and its plugin_init accepts; its name is kept.
// Returns the handle, or null with *errorno: 0 when no readable ini_path exists (no plug-in
// configured), 1 to 4 as above (2 also when the helper cannot be run or does not answer). On
// failure nothing stays allocated or running.
void *plugin_handler_init(int *errorno, const char *ini_path = POST_PLUGIN_INI,
                          const char *host_path = nullptr);
// The plug-in's name as its plugin_get_name gave it at the start-up check.
const char *plugin_handler_get_name(void *handle);
int plugin_handler_get_extra_read_addr(void *handle);
int plugin_handler_get_extra_read_size(void *handle);
int plugin_handler_get_timeout_ms(void *handle);
// Where each later call's standard output and error go, one file per call (see
// plugin_process_run); until it is set, and for the start-up check, nowhere. Called by start-up
// before the station starts, never while calls run.
void plugin_handler_set_output_dir(void *handle, const std::string &dir);

// How one phone's call ended (plugin_handler_judge).
enum {
    POST_PLUGIN_ANSWERED = 0,  // *verdict holds the plug-in's result
    POST_PLUGIN_TIMED_OUT = 1, // no answer within the time-out; the call was ended
    POST_PLUGIN_CRASHED = 2,   // the plug-in's process ended without an answer
    POST_PLUGIN_CANCELLED = 3, // *cancel was raised (the station stops); the call was ended
    POST_PLUGIN_NOT_RUN = 4,   // the helper could not be started, or the plug-in refused to
                               // start this time
};
// Judges one phone on the bytes in buf, in a run of its own; the call is abandoned at once (the
// helper killed and reaped) when *cancel (may be null) becomes non-zero. A POST_PLUGIN_* value.
int plugin_handler_judge(void *handle, const plugin_shared_buffer *buf, int program_okay,
                         const char *one_file_image_version, const std::atomic<int> *cancel,
                         int *verdict);
// The same for bytes in memory of the caller's (copied into shared memory first): the plug-in's
// verdict, or 1 when the call did not answer (time-out, crash, not run). udev is not passed on:
// the plug-in runs in another process and gets null for it.
int plugin_handler_download_finish_cb(void *handle, usb_dev_handle *udev, char *preadbuf,
                                      int read_size, int program_okay,
                                      char *one_file_image_version);
// Frees the handle (nothing of the plug-in stays loaded in the station). Accepts null.
void plugin_handler_finailize(void *handle);
