/* bramblewick post-flash plug-in interface: for plug-in authors.
 *
 * A plug-in is a shared library named by "dll_name" in section [Plugin] of ./post_plugin.ini
 * (the station's working directory). It is never loaded into the station itself: the station's
 * helper program bramblewick-plugin-host loads it with dlopen() (a name containing '/' is a path,
 * relative to the station's working directory; any other name is searched as dlopen searches),
 * once at start-up to check it and then once per phone, each time in a fresh process. The station
 * refuses to start unless all five functions below are exported with exactly these unmangled
 * names, even those it never calls, and plugin_init accepts. Declare them with BW_PLUGIN_EXPORT
 * in C or C++.
 *
 *   [Plugin]
 *   dll_name = ./libmycheck.so
 *   extra_read_addr = 0x100000   ; NAND address read back for the plug-in
 *   extra_read_size = 2048       ; bytes read back; 0 or absent: the plug-in is never called
 *   timeout = 60                 ; seconds a phone's call may take (fractions allowed)
 *
 * Processes: every phone is judged in a process of its own, which runs plugin_init, then
 * plugin_download_finish_cb once, and ends (plugin_finalize is not called). Nothing a plug-in keeps
 * in memory survives from one phone to the next; several phones' processes run at the same time,
 * so shared files or devices still need care. A call that has not returned after "timeout"
 * seconds is ended and fails its phone ("Post plugin timed out", code 1); a plug-in that crashes
 * (or writes past its buffer: the buffer ends at an inaccessible page) fails only that phone
 * ("Post plugin crashed", code 1). A station that quits ends a call in progress at once.
 * The process has the station's environment and standard output and error, and no input.
 */
#ifndef BRAMBLEWICK_PLUGIN_H
#define BRAMBLEWICK_PLUGIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Kept for the signature only: a device handle cannot cross into the plug-in's process, so the
 * udev argument is always NULL. The phone stays with the station during the call. */
struct usb_dev_handle;

#define BW_PLUGIN_EXPORT __attribute__((visibility("default")))

/* Starts the plug-in in its process (at the start-up check and before each phone's call). Return
 * its state (any non-null pointer), handed to the call; null at start-up refuses the start and
 * the station does not run, null before a phone fails that phone ("Error execcute post plugin",
 * code 1). A number stored in *errorno is not passed on. */
typedef void *(*LPPLUGIN_INIT)(int *errorno);

/* The display name shown in the job summary, asked once at the start-up check; zero-terminated,
 * at most 4095 bytes are kept. */
typedef const char *(*LPPLUGIN_GET_NAME)(void);

/* Judges one successfully programmed phone. udev is NULL (see above). read_buf holds read_size
 * bytes read back from extra_read_addr, in shared memory mapped copy-on-write: the plug-in may
 * change them, the station does not see it; writing past read_buf + read_size crashes the call.
 * The buffer is gone when the call returns. program_okay is always 1. one_file_image_version is
 * the job's one-file image description (never empty). Return 0 to accept the phone; any other
 * value fails it and becomes its result code (shown on its row and in the production log, message
 * "Error execcute post plugin"). */
typedef int (*LPPLUGIN_DOWNLOAD_FINISH_CB)(void *plugin, struct usb_dev_handle *udev,
                                           char *read_buf, int read_size, int program_okay,
                                           char *one_file_image_version);

/* Releases the plug-in's state. Never called by the station (each process simply ends), but
 * required. */
typedef void (*LPPLUGIN_FINALIZE)(void *plugin);

/* A text for one of the plug-in's result codes. Never called by the station, but required. */
typedef const char *(*LPPLUGIN_GET_ERROR_STR)(int code);

#ifdef __cplusplus
}
#endif

#endif /* BRAMBLEWICK_PLUGIN_H */
