// station core: the post-flash plug-in host. Called by start-up (plugin_handler_init), the job
// summary (plugin_handler_get_name) and each download thread (the read range and the per-phone
// call). The plug-in's interface is in station/bramblewick_plugin.h.
//
// A started host keeps no mutable state and takes no lock: its getters and the per-phone call may
// run on many download threads at once.
#pragma once

#include "station/bramblewick_plugin.h"

enum {
    ERROR_POST_PLUGIN_NO_DLL_NAME = 1,          // the file exists but names no library
    ERROR_POST_PLUGIN_LOAD_DLL_FAILED = 2,      // the library did not load (or out of memory)
    ERROR_POST_PLUGIN_LOAD_DLL_FUNC_FAILED = 3, // one of the five exports is missing
    ERROR_POST_PLUGIN_INIT_DLL_FAILED = 4,      // plugin_init returned null
};

inline constexpr const char *POST_PLUGIN_INI = "./post_plugin.ini";

// Reads ini_path (section [Plugin]: dll_name, extra_read_addr, extra_read_size), loads the library,
// finds the five exports and starts the plug-in. Returns the handle, or null with *errorno:
// 0 when no readable ini_path exists (no plug-in configured), 1 to 4 as above. On failure nothing
// stays loaded or allocated.
void *plugin_handler_init(int *errorno, const char *ini_path = POST_PLUGIN_INI);
const char *plugin_handler_get_name(void *handle);
int plugin_handler_get_extra_read_addr(void *handle);
int plugin_handler_get_extra_read_size(void *handle);
// The plug-in's verdict for one phone: 0 accepts, anything else fails the phone with that code.
int plugin_handler_download_finish_cb(void *handle, usb_dev_handle *udev, char *preadbuf,
                                      int read_size, int program_okay,
                                      char *one_file_image_version);
// Finalises the plug-in, unloads the library, frees the handle. Accepts null.
void plugin_handler_finailize(void *handle);
