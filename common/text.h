// Bounded text helpers: every copy into a fixed field says whether it fit,
// so that the caller refuses what is too long instead of cutting it; and the
// one reader of a signed decimal number that all three programs use.
#pragma once
#include <cstddef>
#include <cstring>

// Length of a text in bytes, up to its NUL.
std::size_t strlen2(const char* s);

// Copies src into dst (size bytes, NUL included). Returns false, leaving dst
// empty, when src does not fit.
bool copy_text(char* dst, std::size_t size, const char* src);

template <std::size_t N>
bool copy_text(char (&dst)[N], const char* src) { return copy_text(dst, N, src); }

// Copies a field into one at least as wide. The widths are checked when the
// program is compiled, so this copy can neither fail nor cut: a prefix or a
// key copied this way is never left empty.
template <std::size_t N, std::size_t M>
void copy_field(char (&dst)[N], const char (&src)[M])
{
    static_assert(M <= N, "the destination field is narrower than the source");
    std::memcpy(dst, src, M);
}

// White space as the C locale's isspace() sees it: blank, tab, line feed,
// vertical tab, form feed, carriage return.
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A decimal number read like atoi and "%d": leading white space, an optional
// sign, then digits; reading stops at the first other character. The value
// is counted only up to limit: past it, over is set and the digits are still
// read to their end, so that nothing can overflow.
struct number_text {
    bool digits = false;   // at least one digit was read
    bool negative = false; // a minus sign came before the digits
    bool over = false;     // the digits are worth more than limit
    unsigned long long value = 0;
    const char* end = nullptr; // the first character after the digits
};
number_text read_number(const char* text, unsigned long long limit);

// The largest UDP port number, the limit of a port read by the listener and
// the sender.
constexpr unsigned long long port_max = 65535;
