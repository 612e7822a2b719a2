// The local time and the clock that never goes back.
#include <ctime>

#include "clock.h"

static std::time_t tz_looked; // when local_time last looked at the zone
static bool tz_ever;          // whether it ever did

bool local_time(std::time_t now, std::tm& out)
{
    // tzset looks at TZ, and when it is unset stats /etc/localtime and reads
    // it again only if it changed: one system call a minute at most.
    if (!tz_ever || recheck_due(now, tz_looked)) {
        tzset();
        tz_looked = now;
        tz_ever = true;
    }
    return localtime_r(&now, &out) != nullptr;
}

long long monotonic_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void clock_reset() { tz_ever = false; }
