/* bramblewick post-flash plug-in interface: for plug-in authors.
 *
 * A plug-in is a shared library named by "dll_name" in section [Plugin] of ./post_plugin.ini
 * (the station's working directory). The station loads it once at start-up with dlopen() (a name
 * containing '/' is a path, any other name is searched as dlopen searches), and refuses to start
 * unless all five functions below are exported with exactly these unmangled names, even those it
 * never calls. Declare them with BW_PLUGIN_EXPORT in C or C++.
 *
 *   [Plugin]
 *   dll_name = ./libmycheck.so
 *   extra_read_addr = 0x100000   ; NAND address read back for the plug-in
 *   extra_read_size = 2048       ; bytes read back; 0 or absent: the plug-in is never called
 *
 * Threads: plugin_init and plugin_get_name run on the station's main thread;
 * plugin_download_finish_cb runs on the download thread of each phone, so several calls run at
 * the same time and must be safe for that. The station never unloads the plug-in while it runs.
 */
#ifndef BRAMBLEWICK_PLUGIN_H
#define BRAMBLEWICK_PLUGIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* The phone's open DKB agent device; opaque to the plug-in. */
struct usb_dev_handle;

#define BW_PLUGIN_EXPORT __attribute__((visibility("default")))

/* Starts the plug-in. Return its state (any non-null pointer), handed back to every later call;
 * null refuses the start and the station does not run. A number stored in *errorno is not
 * passed on. */
typedef void *(*LPPLUGIN_INIT)(int *errorno);

/* The display name shown in the job summary; zero-terminated, valid while the plug-in is
 * loaded. */
typedef const char *(*LPPLUGIN_GET_NAME)(void);

/* Judges one successfully programmed phone. read_buf holds read_size bytes read back from
 * extra_read_addr; it belongs to the station and is freed after the call returns. program_okay
 * is always 1. one_file_image_version is the job's one-file image description (never empty).
 * Return 0 to accept the phone; any other value fails it and becomes its result code (shown on
 * its row and in the production log, message "Error execcute post plugin"). */
typedef int (*LPPLUGIN_DOWNLOAD_FINISH_CB)(void *plugin, struct usb_dev_handle *udev,
                                           char *read_buf, int read_size, int program_okay,
                                           char *one_file_image_version);

/* Releases the plug-in's state. Called only when a host is torn down (not by the station). */
typedef void (*LPPLUGIN_FINALIZE)(void *plugin);

/* A text for one of the plug-in's result codes. Never called by the station, but required. */
typedef const char *(*LPPLUGIN_GET_ERROR_STR)(int code);

#ifdef __cplusplus
}
#endif

#endif /* BRAMBLEWICK_PLUGIN_H */
