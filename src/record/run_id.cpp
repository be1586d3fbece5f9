#include "record/run_id.h"

#include <sys/random.h>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

std::string draw_run_id()
{
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof bytes) {
        // No entropy source: the clock and the process id still tell two programs apart.
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        unsigned long long mix[2] = {static_cast<unsigned long long>(ts.tv_sec) ^
                                         (static_cast<unsigned long long>(getpid()) << 32),
                                     static_cast<unsigned long long>(ts.tv_nsec)};
        for (size_t i = got; i < sizeof bytes; i++)
            bytes[i] = static_cast<unsigned char>(mix[i / 8 % 2] >> (8 * (i % 8)));
    }
    char hex[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; i++)
        snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    return std::string(hex, 2 * sizeof bytes);
}

} // namespace

const std::string &station_run_id()
{
    static const std::string id = draw_run_id();
    return id;
}
