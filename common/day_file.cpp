#include "day_file.h"

#include <cstring>

#include "text.h"

bool day_date(char* out, std::size_t size, const std::tm& when)
{
    // strftime returns 0 when the text does not fit; the date is never empty.
    return std::strftime(out, size, "%Y_%m_%d", &when) != 0;
}

bool day_file_name(char* out, std::size_t size, const char* prefix, const std::tm& when)
{
    char date[32];
    if (size == 0)
        return false;
    if (!day_date(date, sizeof date, when)) {
        out[0] = '\0';
        return false;
    }
    // prefix + date + ".log", copied piece by piece (this runs for every
    // message the listener files).
    static const char ext[] = ".log";
    std::size_t p = strlen2(prefix), d = strlen2(date), e = sizeof ext - 1;
    if (p + d + e >= size) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, prefix, p);
    std::memcpy(out + p, date, d);
    std::memcpy(out + p + d, ext, e + 1);
    return true;
}

void date_from_days(long long z, long long& y, int& m, int& d)
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

day_name read_day_file_name(const char* name, std::size_t& stem_len, long long& days)
{
    // "YYYY_MM_DD.log": 14 characters at the end, digits where the date's are.
    static const char shape[] = "0000_00_00.log";
    const std::size_t tail = sizeof shape - 1;
    std::size_t n = strlen2(name);
    if (n < tail)
        return day_name::other;
    const char* t = name + n - tail;
    for (std::size_t i = 0; i < tail; ++i) {
        bool digit = t[i] >= '0' && t[i] <= '9';
        if (shape[i] == '0' ? !digit : t[i] != shape[i])
            return day_name::other;
    }
    auto number = [t](std::size_t at, std::size_t len) {
        int v = 0;
        for (std::size_t i = at; i < at + len; ++i)
            v = v * 10 + (t[i] - '0');
        return v;
    };
    int y = number(0, 4), m = number(5, 2), d = number(8, 2);
    stem_len = n - tail;
    // A real date is one the calendar gives back unchanged.
    long long back_y = 0;
    int back_m = 0, back_d = 0;
    long long z = days_from_date(y, m, d);
    date_from_days(z, back_y, back_m, back_d);
    if (m < 1 || m > 12 || back_y != y || back_m != m || back_d != d)
        return day_name::no_date;
    days = z;
    return day_name::dated;
}
