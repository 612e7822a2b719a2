#include <climits>
#include <ctime>

#include "cleaner.h"
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

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and
// back: exact integer arithmetic over 400-year eras.
static long long days_from_civil(long long y, int m, int d)
{
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

static void civil_from_days(long long z, long long& y, int& m, int& d)
{
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

bool target_day(std::time_t now, long long age, std::tm& day)
{
    std::tm today;
    if (localtime_r(&now, &today) == nullptr)
        return false;
    long long y = 0;
    int m = 0;
    int d = 0;
    civil_from_days(days_from_civil(today.tm_year + 1900LL, today.tm_mon + 1, today.tm_mday) - age,
                    y, m, d);
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
