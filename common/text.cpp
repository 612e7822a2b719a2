#include "text.h"

#include <cstring>

std::size_t strlen2(const char* s)
{
    std::size_t n = 0;
    while (s[n] != '\0')
        ++n;
    return n;
}

bool copy_text(char* dst, std::size_t size, const char* src)
{
    if (size == 0)
        return false;
    std::size_t n = strlen2(src);
    if (n >= size) {
        dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, src, n + 1);
    return true;
}

number_text read_number(const char* text, unsigned long long limit)
{
    number_text r;
    const char* p = text;
    while (is_space(*p))
        ++p;
    if (*p == '+' || *p == '-')
        r.negative = *p++ == '-';
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned d = static_cast<unsigned>(*p - '0');
        if (r.over || r.value > limit / 10 || r.value * 10 + d > limit)
            r.over = true;
        else
            r.value = r.value * 10 + d;
    }
    r.digits = p > digits;
    r.end = p;
    return r;
}
