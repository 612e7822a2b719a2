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
void init(const char* path);

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
