// The day-file name: prefix, local date "%Y_%m_%d", then ".log". The listener
// builds it to append and the cleaner rebuilds it by the same rule to delete,
// so nothing but a day file is ever touched.
#pragma once
#include <cstddef>
#include <ctime>

#include "conf.h"

static_assert(sizeof(std::time_t) >= 8, "time_t must hold dates after 2038");

// Room for the date "%Y_%m_%d" (10 characters for a four-digit year).
constexpr std::size_t day_date_size = 11;

// The longest day-file path a rule can give: its prefix, the date, ".log"
// (38 characters). Each program sizes its own buffer for it.
constexpr std::size_t day_path_max = prefix_max + (day_date_size - 1) + 4;

// Formats the date of a broken-down local time. False when it does not fit.
bool day_date(char* out, std::size_t size, const std::tm& when);

// Builds prefix + date + ".log". False, and out empty, when it does not fit.
bool day_file_name(char* out, std::size_t size, const char* prefix, const std::tm& when);

// A date of the proleptic Gregorian calendar as a count of days since
// 1970-01-01 (negative before), and back: whole days, so that a date so
// many days back is the same whatever the daylight-saving changes between.
constexpr long long days_from_date(long long y, int m, int d)
{
    // Exact integer arithmetic over 400-year eras.
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}
void date_from_days(long long days, long long& year, int& month, int& day);

// Reads a file name as day_file_name makes it: the file part of a prefix
// (its text after the last '/'), the date "%Y_%m_%d", ".log". The reverse of
// the rule above, for the cleaner, which must touch nothing else.
enum class day_name {
    other,    // not of that shape
    no_date,  // of that shape, but its digits are no date (2026_02_30)
    dated,    // stem_len and days are set
};
day_name read_day_file_name(const char* name, std::size_t& stem_len, long long& days);
