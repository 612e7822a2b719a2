// The clocks: the local time that dates every line (the time-zone policy
// with it), the clock that never goes back, and how often the listener looks
// again at what does not change per message.
#pragma once
#include <ctime>

// How often the listener looks again at what does not change per message:
// the time zone, a day file's type and size, a file system's free space, a
// failure that lasts. True when that long has passed since then, or the
// clock went back before it.
constexpr std::time_t recheck_seconds = 60;
constexpr bool recheck_due(std::time_t now, std::time_t then)
{
    return now - then >= recheck_seconds || now < then;
}

// Breaks a time down into local time: the stamp of a log line, the date of
// a day file and the hour of a display line come from here. The system's time
// zone is looked at again at most once a minute, so a change of it reaches
// the listener without a re-read per message; TZ in the environment wins.
bool local_time(std::time_t now, std::tm& out);

// Milliseconds of a clock that never goes back.
long long monotonic_ms();

// Forgets the zone last looked at, as at start-up (for the tests).
void clock_reset();
