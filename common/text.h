// Bounded text helpers: every copy into a fixed field says whether it fit,
// so that the caller refuses what is too long instead of cutting it.
#pragma once
#include <cstddef>

// Length of a text in bytes, up to its NUL.
std::size_t strlen2(const char* s);

// Copies src into dst (size bytes, NUL included). Returns false, leaving dst
// empty, when src does not fit.
bool copy_text(char* dst, std::size_t size, const char* src);

template <std::size_t N>
bool copy_text(char (&dst)[N], const char* src) { return copy_text(dst, N, src); }
