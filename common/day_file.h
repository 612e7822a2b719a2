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
