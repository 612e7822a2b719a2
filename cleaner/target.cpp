// The target date: the calendar date a number of days away from today.
#include <climits>
#include <ctime>

#include "cleaner.h"
#include "day_file.h"
#include "text.h"

bool target_day(std::time_t now, long long age, std::tm& day)
{
    std::tm today;
    if (localtime_r(&now, &today) == nullptr)
        return false;
    long long y = 0;
    int m = 0;
    int d = 0;
    date_from_days(days_from_date(today.tm_year + 1900LL, today.tm_mon + 1, today.tm_mday) - age, y, m, d);
    if (y < 1000 || y > 9999)
        return false;
    day = std::tm{};
    day.tm_year = static_cast<int>(y - 1900);
    day.tm_mon = m - 1;
    day.tm_mday = d;
    day.tm_hour = 12;
    day.tm_isdst = -1;
    return true;
}
