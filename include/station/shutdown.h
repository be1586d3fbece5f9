// station core: what makes the station's quit bounded and complete. Called by Station::stop (the
// window thread) and by the monitor and download threads around every device they open.
//
// A quit must not wait for a USB request or a plug-in call: every device a station thread holds
// is known here, so the quit can abandon them (usb_abort) and the threads fail out at once; a
// thread that still does not end in time is left behind (it holds the shared context and reaches
// nothing else but the job, the plug-in and the DKB image, which the program then keeps until the
// process ends). Every phone the quit interrupts gets its log line from the window thread here,
// exactly once.
#pragma once

#include "station/station.h"

// Monitor or download thread: the device is now held by one of the station's threads. After the
// quit began it is abandoned at once, so the thread's next request fails.
void station_hold_device(station_context *ctx, usb_dev_handle *udev);
// The same thread, when it is done with the device: forgets it, then closes it.
void station_close_device(station_context *ctx, usb_dev_handle *udev);
// Window thread, in the quit: abandons every held device (usb_abort).
void station_abandon_devices(station_context *ctx);

// Window thread, in the quit, before the message queue closes: every run still in progress
// (a record on a row, no result yet) is finished as stopped: code 1, Status "Station stopped",
// Section the stage its row shows, one log line. Returns how many.
int DeviceStationStopped(station_context *ctx);

// Download threads of every station of the process that have not ended yet (after a stop: the
// ones it left behind). While any is left, the job, the plug-in and the DKB image must stay.
int station_download_threads_alive();
// Download thread bookkeeping: the monitor counts a thread in before it starts it; the thread
// counts itself out as its very last action.
void station_download_thread_started();
void station_download_thread_ended();
