// line feed: the thread that keeps the line program's picture of the line current. It owns the
// one database connection of the program: LISTEN bramblewick_line, the live part of a snapshot
// (line_view.h) at once on every notification (at most one per LINE_FEED_MIN_GAP_MS), and the
// whole snapshot, the record's part too, every refresh_ms, since a station that dies sends
// nothing and only the clock makes it silent.
//
// The HTTP handlers (line_server.h) never touch the database: they read the latest snapshot
// from the hub, so ten screens on the line cost the database what one does.
//
// A database that is down, or goes away, is retried every retry_ms for as long as the program
// runs; meanwhile the hub holds the last line seen, marked "database": {"ok": false, ...}, and
// an alarm saying so.
#pragma once

#include "line/line_view.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

inline constexpr int LINE_FEED_MIN_GAP_MS = 100;

// The latest snapshot, shared between the feed thread (writer) and the HTTP handlers (readers).
struct line_hub {
    std::mutex mutex;
    std::condition_variable changed;
    std::string doc;         // guarded by mutex: the latest snapshot, serialised
    uint64_t generation = 0; // guarded by mutex: bumped on every publish
    bool stopping = false;   // guarded by mutex: wakes and ends every waiter
};

void line_hub_publish(line_hub *hub, std::string doc);
// Ends every line_hub_wait, now and later.
void line_hub_stop(line_hub *hub);
// The latest snapshot and its generation.
std::string line_hub_latest(line_hub *hub, uint64_t *generation = nullptr);
// Waits up to timeout_ms for a snapshot newer than *seen: 1 with it in *doc and *seen updated,
// 0 on time-out, -1 when the hub stops.
int line_hub_wait(line_hub *hub, uint64_t *seen, std::string *doc, int timeout_ms);

struct line_feed_settings {
    std::string conninfo;
    line_alarm_settings alarms;
    int refresh_ms = 2000;
    int retry_ms = 1000;
};

struct line_feed {
    line_feed_settings settings;
    line_hub *hub = nullptr;
    int stop_pipe[2] = {-1, -1};
    std::thread thread;
};

// Starts the feed thread; 0, or a negative errno when the stop pipe cannot be made.
int line_feed_start(line_feed *feed, const line_feed_settings &settings, line_hub *hub);
// Stops and joins it (the connection is closed). Safe on a feed never started.
void line_feed_stop(line_feed *feed);
