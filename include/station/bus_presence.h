// station core: a shared, recent view of which devices are on the bus. The download threads of
// finished phones ask it several times a second whether their agent is still plugged in, so an
// unplug is noticed at once while the agent is still acknowledged only once a second. However
// many phones ask, the bus is enumerated at most once per max_age_ms. Any thread; guarded by
// its own mutex.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct station_context;

struct bus_presence {
    std::mutex m;
    std::vector<std::string> paths; // guarded by m: the last enumeration
    uint32_t taken_ms = 0;          // guarded by m: station_tick_ms() when it was taken
    bool valid = false;             // guarded by m
};

// False when an enumeration no older than max_age_ms (made now if the last one is older) lists
// no device with these ids on interface name `name`; true otherwise, also when there is no
// device list to look at (the caller's next USB request tells).
bool bus_device_listed(station_context *ctx, unsigned vid, unsigned pid, const std::string &name,
                       int max_age_ms);
