// The age of brannic's command line, read as its users have always written
// it, with what does not fit said.
#include <climits>

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
