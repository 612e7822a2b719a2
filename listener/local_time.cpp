// The listener's local time: the stamp of a log line, the date of a day
// file and the hour of a display line all come from here.
#include <ctime>

#include "listener.h"

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

void local_time_reset() { tz_ever = false; }
