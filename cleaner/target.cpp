#include <climits>
#include <ctime>

#include "cleaner.h"
#include "day_file.h"
#include "text.h"

age_status read_age(const char* text, int& age)
{
    // Up to 2^31, so that INT_MIN itself can be read.
    number_text n = read_number(text, static_cast<unsigned long long>(INT_MAX) + 1);
    if (!n.digits)
        return age_status::no_digits;
    long long value = n.negative ? -static_cast<long long>(n.value) : static_cast<long long>(n.value);
    if (n.over || value > INT_MAX || value < INT_MIN)
        return age_status::too_large;
    age = static_cast<int>(value);
    return age_status::ok;
}

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
