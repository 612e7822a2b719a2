// The cleaner's state and pieces: its configuration reader, which gathers
// every day-file prefix the listener can write, and the target date.
#pragma once
#include <cstddef>
#include <ctime>

#include "conf.h"
#include "day_file.h"

// Room for a day-file path, with some to spare.
constexpr std::size_t cleaner_day_path_size = 120; // at most 119 characters
static_assert(cleaner_day_path_size > day_path_max, "every rule's day file must fit");

// The prefixes, in file order, in slots as wide as the prefix buffer main
// copies them into, so that copy can never fail.
extern char name_site[MAX_PREFIXES][prefix_size];
extern int i_name;

// Reads the prefixes of every rule the listener holds into name_site.
// False, with errno set, when the file could not be opened or read whole
// (brannic goes on all the same, as it always did); *special, when given, is
// set when it was not read because it is no regular file.
bool init(const char* path, bool* special = nullptr);

// Reads an age in days like atoi (leading blanks, a sign, digits, the rest
// ignored), but says when there are no digits or the number passes 32 bits.
enum class age_status { ok, no_digits, too_large };
age_status read_age(const char* text, int& age);

// The calendar date age days before the local date of now (a negative age
// looks forward), as a broken-down time for the day-file name. Whole days
// are counted on the calendar, so daylight-saving changes never shift it.
// False when the date cannot be computed, or falls outside the years 1000 to
// 9999: a day file's date always has a four-digit year.
bool target_day(std::time_t now, long long age, std::tm& day);

// The daily retention (brannic-retention, which the daily service runs):
// every day file of the configured prefixes whose date lies age or more
// days before today is deleted, however long ago: dates missed while the
// board was off are caught up at the cost of the files present, not of the
// days between. Each prefix's directory is listed once. Never deleted: a
// file dated today or later (a clock that ran ahead and came back shows
// what it wrote then), one whose name is no date, one of a prefix the
// configuration does not hold, and one dated before the kit existed, which
// can only hold messages dated by a clock that was not yet set (1970, or
// 2000 after a flat clock battery), maybe received today. Those are left
// out, counted, and the oldest of them is named.
constexpr long long retention_age_max = 36500; // a hundred years
constexpr long long kit_first_day = days_from_date(2026, 1, 1); // the kit was first built in 2026

// What the daily run does with a file named like a day file.
enum class fate { deleted, kept, after_today, before_kit, no_date, other_prefix };

// A file system the day files lie on, as an unprivileged user sees it (the
// listener leaves a floor of it free).
struct record_room {
    const char* dir = nullptr; // a prefix's directory on it, as written; "." for none
    long long free = 0;        // bytes
    long long total = 0;
};
struct retention_totals {
    unsigned long deleted = 0;
    unsigned long kept = 0;
    unsigned long kept_newest = 0; // of them, past the age but their prefix's newest
    long long kept_bytes = 0;  // what the files kept hold
    record_room rooms[MAX_PREFIXES];
    int n_rooms = 0;
    unsigned long left_out = 0;
    unsigned long failed = 0;                 // deletes or listings that failed, said
    long long oldest_day = 0;                 // of the oldest left out
    char oldest[cleaner_day_path_size + 256] = {}; // its path, or empty
};
// Applies the retention of age days, on the local date of now, to the
// prefixes in name_site: one line per file deleted on standard output, a
// failure on standard error; then reads the room of each file system they
// lie on. With keep_newest (a clock not checked since the boot), each
// prefix's newest day file is kept, and said. False when the local date
// cannot be had.
bool retain(std::time_t now, long long age, bool keep_newest, retention_totals& t);
