// record db: released jobs in the factory database (table bramblewick.job_release). Start-up
// and --check call release_db_look once on the main thread; while the station runs, a
// ReleaseWatch thread of its own adds the release on first use (when the database was down at
// start-up) and looks for its revocation at least once a minute. The database only adds
// revocation and the factory-wide sequence: when it cannot be reached, the signature alone
// decides.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "job/release.h"

// What the database says of one release.
struct release_db_answer {
    bool reached = false; // false: *error says why; nothing else is known
    int64_t highest = 0;  // newest unrevoked sequence of the product, any station
    bool revoked = false;
    std::string revoked_at, revoked_by, reason;
    std::string error;
};

// Connects (schema made or upgraded), adds the release as first used by station when add is
// true and it is not there yet, and answers. timeout_ms bounds each step.
void release_db_look(const std::string &conninfo, const release_info &release,
                     const std::string &station, bool add, int timeout_ms,
                     release_db_answer *answer);

// The alarm text for a revoked release.
std::string release_db_revoked_text(const release_info &release, const release_db_answer &a);

// Looks every period_s seconds until stop(); calls on_revoked (on its own thread) once when the
// release is found revoked, then ends.
class ReleaseWatch
{
  public:
    ReleaseWatch(std::string conninfo, release_info release, std::string station, int period_s,
                 std::function<void(const std::string &)> on_revoked);
    ~ReleaseWatch(); // stop()
    int start();     // 0, or -1 when the thread cannot be made
    void stop();

  private:
    void run();
    std::string conninfo_;
    release_info release_;
    std::string station_;
    int period_s_;
    std::function<void(const std::string &)> on_revoked_;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};
