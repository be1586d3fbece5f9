// station core: the synchronous send between the station's threads and the window thread.
// Senders are the monitor and the download threads; the front-end's loop drains the queue.
#include "station/window_messages.h"

#include <chrono>

void MessageQueue::open(Handler handler, std::thread::id window_thread)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
    window_thread_ = window_thread;
    closed_ = false;
}

void MessageQueue::set_wake_hook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(hook);
}

LRESULT MessageQueue::send(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    std::function<void()> wake;
    Pending p{msg, wParam, lParam};
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_ || !handler_)
            return 0;
        if (std::this_thread::get_id() == window_thread_) {
            // The window thread sending to itself: waiting would wait for ourselves.
            lock.unlock();
            return handler_(msg, wParam, lParam);
        }
        queue_.push_back(&p);
        wake = wake_;
    }
    cv_queue_.notify_all();
    if (wake)
        wake();
    std::unique_lock<std::mutex> lock(mutex_);
    // A message the window thread has taken is finished even after close(): p lives on this
    // stack and its handler is about to write the result into it.
    cv_.wait(lock, [&] { return p.done || (closed_ && !p.taken); });
    return p.done ? p.result : 0;
}

int MessageQueue::process_pending()
{
    int ran = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    // Only what waits now: senders answered here may queue again, and the front-end's loop must
    // get its turn.
    size_t n = queue_.size();
    while (n-- > 0 && !queue_.empty() && !closed_) {
        Pending *p = queue_.front();
        queue_.pop_front();
        p->taken = true;
        lock.unlock();
        LRESULT r = handler_(p->msg, p->wParam, p->lParam);
        lock.lock();
        p->result = r;
        p->done = true;
        ran++;
        cv_.notify_all();
    }
    return ran;
}

bool MessageQueue::wait(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] { return !queue_.empty() || closed_; };
    if (timeout_ms < 0)
        cv_queue_.wait(lock, ready);
    else
        cv_queue_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
    return !queue_.empty() && !closed_;
}

void MessageQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        // Senders of the messages still queued return 0 without their handlers.
        queue_.clear();
    }
    cv_.notify_all();
    cv_queue_.notify_all();
}

bool MessageQueue::closed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}
