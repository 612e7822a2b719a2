// The display line: what the console shows of a message. Any host may send
// any bytes, so the message is escaped first: nothing it holds can drive the
// operator's terminal or split the line. The console writes it (console.cpp).
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "clock.h"
#include "console.h"
#include "display.h"
#include "text.h"

// The length of the valid UTF-8 sequence at p (up to its NUL), or 0: a
// shortest form, no surrogate, at most U+10FFFF.
static std::size_t utf8_length(const unsigned char* p)
{
    unsigned char b = p[0];
    std::size_t len;
    unsigned char low = 0x80, high = 0xbf; // what the second byte may be
    if (b >= 0xc2 && b <= 0xdf)
        len = 2;
    else if (b >= 0xe0 && b <= 0xef) {
        len = 3;
        if (b == 0xe0)
            low = 0xa0;
        else if (b == 0xed)
            high = 0x9f;
    } else if (b >= 0xf0 && b <= 0xf4) {
        len = 4;
        if (b == 0xf0)
            low = 0x90;
        else if (b == 0xf4)
            high = 0x8f;
    } else
        return 0;
    if (p[1] < low || p[1] > high)
        return 0;
    for (std::size_t i = 2; i < len; ++i)
        if (p[i] < 0x80 || p[i] > 0xbf)
            return 0;
    return len;
}

bool escape_message(char* out, std::size_t size, const char* msg, std::size_t& len)
{
    static const char hex[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(msg);
    std::size_t n = 0;
    while (*p != '\0') {
        std::size_t seq = *p >= 0x80 ? utf8_length(p) : 1;
        bool control = *p < 0x20 ? *p != '\t' : *p == 0x7f || (seq == 2 && p[0] == 0xc2 && p[1] < 0xa0);
        if (seq == 0 || control) {
            // Escaped byte by byte: a C1 control is two bytes, each shown.
            std::size_t k = seq == 0 ? 1 : seq;
            if (n + 4 * k > size)
                return false;
            for (std::size_t i = 0; i < k; ++i, ++p) {
                out[n++] = '\\';
                out[n++] = 'x';
                out[n++] = hex[*p >> 4];
                out[n++] = hex[*p & 0xf];
            }
            continue;
        }
        if (n + seq > size)
            return false;
        std::memcpy(out + n, p, seq);
        n += seq;
        p += seq;
    }
    len = n;
    return true;
}

// A display line: "H:", the hour, "|from:", the sender's address, " | ",
// the message shown, "\"\n"; display_line_max is the longest.
constexpr char show_hour[] = "H:", show_from[] = "|from:", show_bar[] = " | ", show_end[] = "\"\n";
constexpr std::size_t display_line_max = (sizeof show_hour - 1) + (hour_size - 1) +
                                         (sizeof show_from - 1) + (addr_text_size - 1) +
                                         (sizeof show_bar - 1) + (shown_max - 1) + (sizeof show_end - 1);

void display_hour(char (&hour)[hour_size])
{
    std::tm when;
    if (!local_time(std::time(nullptr), when) || std::strftime(hour, sizeof hour, "%H:%M:%S", &when) == 0)
        hour[0] = '\0';
}

void show(const char* hour, const char* sender, const char* msg)
{
    static char text[shown_max];
    static char line[display_line_max];
    std::size_t t = 0;
    if (!escape_message(text, sizeof text - 1, msg, t))
        return; // longer than route's contract allows: never cut, not shown
    text[t] = '\0';
    std::size_t n = 0;
    for (const char* piece : {show_hour, hour, show_from, sender,
                              show_bar, static_cast<const char*>(text), show_end}) {
        std::size_t k = strlen2(piece);
        if (k > sizeof line - n)
            return; // longer than route's contract allows: never cut, not shown
        std::memcpy(line + n, piece, k);
        n += k;
    }
    console_put(out_console, line, n);
}
