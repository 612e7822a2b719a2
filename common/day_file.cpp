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
