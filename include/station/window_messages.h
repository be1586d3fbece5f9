// station core: the station window messages and the synchronous send that carries them from the
// monitor and download threads to the window thread.
//
// The window thread is whatever thread the front-end runs its loop on (Qt's GUI thread, the
// terminal loop, a test). It drains the queue with process_pending(); a sender blocks until its
// message's handler has run there and gets the handler's result, so text passed by pointer need
// only live for the send. The wake hook tells the front-end that something is waiting (Qt:
// post a queued call that drains; terminal: wake the loop); it runs on the sender's thread.
//
// Shutdown never deadlocks: after close(), every waiting and every later send returns 0 at once
// without running its handler, so a thread blocked in a send can always be joined.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

enum : unsigned {
    WM_USER = 0x400,
    WM_DEVICE_CONNECTED = WM_USER + 1,    // 1025 wParam usb_dev_handle*, lParam name; -> record
    WM_DEVICE_DISCONNECTED = WM_USER + 2, // 1026 wParam record; the run's last message
    WM_DEVICE_IMAGE = WM_USER + 3,        // 1027 wParam record, lParam text: "Image" column
    WM_DEVICE_DIEID = WM_USER + 4,        // 1028 wParam record, lParam text: "MPU Die ID" column
    WM_DEVICE_DOWNLOAD_MSG = WM_USER + 5, // 1029 wParam record, lParam text: "Status" column
    WM_DEVICE_PROGRESS = WM_USER + 6,     // 1030 wParam record, lParam text: "Progress" column
    WM_DEVICE_COMPLETED = WM_USER + 7,    // 1031 wParam record, lParam result code (0 = success)
};

class MessageQueue
{
  public:
    using Handler = std::function<LRESULT(unsigned msg, WPARAM wParam, LPARAM lParam)>;

    // handler runs in the window thread, window_thread is that thread's id: a send made from the
    // window thread itself runs the handler directly instead of waiting for itself.
    void open(Handler handler, std::thread::id window_thread);
    void set_wake_hook(std::function<void()> hook);

    // Any thread. Returns the handler's result, or 0 when the queue is closed.
    LRESULT send(unsigned msg, WPARAM wParam, LPARAM lParam);

    // Window thread: runs the handlers of the messages waiting now; returns how many ran.
    int process_pending();
    // Window thread: waits up to timeout_ms (negative: without limit) for a message or close().
    // True when a message is waiting.
    bool wait(int timeout_ms);

    // From now on sends return 0 at once; waiting senders are released.
    void close();
    bool closed() const;

  private:
    struct Pending {
        unsigned msg;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT result = 0;
        bool taken = false; // popped by the window thread: its handler is running
        bool done = false;
    };

    mutable std::mutex mutex_;
    std::condition_variable cv_;       // senders wait here for done/closed
    std::condition_variable cv_queue_; // the window thread waits here in wait()
    // Guarded by mutex_: queue_, closed_, wake_, and every Pending reachable from queue_.
    std::deque<Pending *> queue_;
    bool closed_ = false;
    std::function<void()> wake_;
    // Set by open() before any sender exists; read-only afterwards.
    Handler handler_;
    std::thread::id window_thread_;
};
