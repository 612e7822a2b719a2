#include "day_file.h"

#include <cstdio>

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
    int n = std::snprintf(out, size, "%s%s.log", prefix, date);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}
