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
