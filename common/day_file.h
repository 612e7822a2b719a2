// The day-file name: prefix, local date "%Y_%m_%d", then ".log". The listener
// builds it to append and the cleaner rebuilds it by the same rule to delete,
// so nothing but a day file is ever touched.
#pragma once
#include <cstddef>
#include <ctime>

static_assert(sizeof(std::time_t) >= 8, "time_t must hold dates after 2038");

// Room for the date "%Y_%m_%d" (10 characters for a four-digit year).
constexpr std::size_t day_date_size = 11;

// Room for a day-file path. A prefix of at most 24 characters, the date and
// ".log" take 38 at most, so both fit whatever the prefix.
constexpr std::size_t listener_day_path_size = 64; // at most 63 characters
constexpr std::size_t cleaner_day_path_size = 120; // at most 119 characters

// Formats the date of a broken-down local time. False when it does not fit.
bool day_date(char* out, std::size_t size, const std::tm& when);

// Builds prefix + date + ".log". False, and out empty, when it does not fit.
bool day_file_name(char* out, std::size_t size, const char* prefix, const std::tm& when);
