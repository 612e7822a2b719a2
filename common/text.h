// Bounded text helpers: every copy into a fixed field says whether it fit,
// so that the caller refuses what is too long instead of cutting it.
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
