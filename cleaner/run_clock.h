// The clock the daily run deletes by. A board's wall clock can run far
// ahead (a typo in "date -s", a wrong time server, a clock module that lost
// its time): deleting by it takes days of the record at once, today's file
// included. Within a boot, the boot clock (which never steps, and counts a
// suspend) says how much time really passed since the last run; across a
// boot, nothing an offline board has can tell a clock ahead from a long
// time off, so there the run keeps each prefix's newest day file instead.
#pragma once
#include <cstddef>

// A boot's identity, as systemd gives it (%b: 32 hexadecimal digits).
constexpr std::size_t boot_id_size = 40; // at most 39 characters

// The clocks of a run.
struct run_clock {
    bool set = false;         // there was a run
    long long wall_s = 0;     // the time the run deleted by
    long long boot_s = 0;     // the boot clock then
    char boot[boot_id_size] = {}; // the boot it ran in
};

// The wall clock may run ahead of the boot clock by this much between two
// runs without a word: the network time's slewing and the seconds of a step
// to the right time are well within it.
constexpr long long clock_slack_s = 60;

struct clock_verdict {
    long long use_s = 0;   // the time to delete by
    bool ahead = false;    // the wall clock ran ahead since the last run: use_s is the boot clock's
    bool new_boot = false; // no earlier run of this boot to check the wall clock by
};
// Judges the clocks of this run by those of the last.
clock_verdict judge_clock(const run_clock& last, const run_clock& now);

// Reads the clocks of the last run from path: "WALL BOOT_CLOCK BOOT_ID".
// False when there is none, or it is not that.
bool read_run_clock(const char* path, run_clock& c);
// Writes them to path whole or not at all: a new file, synced, renamed over
// the old. False, with errno set, when that failed.
bool write_run_clock(const char* path, const run_clock& c);
