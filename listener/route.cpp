// What the listener does with each message: show it by the display mode and
// hand it to journal once for every rule it matches. This is the hot path:
// fixed buffers only, and no system call beyond the console write and the
// day-file appends.
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "listener.h"
#include "text.h"

char repa[prefix_size];

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

std::size_t shown_text(char* out, std::size_t size, const char* msg)
{
    static const char hex[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(msg);
    std::size_t n = 0;
    while (*p != '\0') {
        std::size_t len = *p >= 0x80 ? utf8_length(p) : 1;
        bool control = *p < 0x20 ? *p != '\t' : *p == 0x7f || (len == 2 && p[0] == 0xc2 && p[1] < 0xa0);
        if (len == 0 || control) {
            // Escaped byte by byte: a C1 control is two bytes, each shown.
            std::size_t k = len == 0 ? 1 : len;
            if (n + 4 * k > size)
                return 0;
            for (std::size_t i = 0; i < k; ++i, ++p) {
                out[n++] = '\\';
                out[n++] = 'x';
                out[n++] = hex[*p >> 4];
                out[n++] = hex[*p & 0xf];
            }
            continue;
        }
        if (n + len > size)
            return 0;
        std::memcpy(out + n, p, len);
        n += len;
        p += len;
    }
    return n;
}

// "%H:%M:%S" and its NUL.
constexpr std::size_t hour_size = 9;
// A display line: "H:", the hour, "|from:", the sender's address, " | ",
// the message shown, "\"\n"; display_line_max is the longest.
constexpr char show_hour[] = "H:", show_from[] = "|from:", show_text[] = " | ", show_end[] = "\"\n";
constexpr std::size_t display_line_max = (sizeof show_hour - 1) + (hour_size - 1) +
                                         (sizeof show_from - 1) + (addr_text_size - 1) +
                                         (sizeof show_text - 1) + (shown_max - 1) + (sizeof show_end - 1);

// Shows the display line "H:hour|from:sender | msg"" on the console, the
// message with its control bytes escaped.
static void show(const char* hour, const char* msg)
{
    static char text[shown_max];
    static char line[display_line_max];
    std::size_t t = shown_text(text, sizeof text - 1, msg);
    if (t == 0 && *msg != '\0')
        return; // longer than route's contract allows: never cut, not shown
    text[t] = '\0';
    std::size_t n = 0;
    for (const char* piece : {show_hour, hour, show_from, static_cast<const char*>(ip_orig),
                              show_text, static_cast<const char*>(text), show_end}) {
        std::size_t k = strlen2(piece);
        if (k > sizeof line - n)
            return; // longer than route's contract allows: never cut, not shown
        std::memcpy(line + n, piece, k);
        n += k;
    }
    console_put(out_console, line, n);
}

// Files the message under one matched rule's prefix; in mode 2 shows it.
static void file_under(const char (&prefix)[prefix_size], const char* hour, const char* msg)
{
    copy_field(repa, prefix);
    journal(msg, repa);
    if (aff == 2)
        show(hour, msg);
}

void route(const char* msg)
{
    char hour[hour_size] = "";
    if (aff != 0) {
        std::tm when;
        if (!local_time(std::time(nullptr), when) ||
            std::strftime(hour, sizeof hour, "%H:%M:%S", &when) == 0)
            hour[0] = '\0';
    }
    if (aff == 1)
        show(hour, msg);

    // Every rule is tried: k matches give k appends, source rules first.
    for (int i = 0; i < i_ip; ++i)
        if (std::strstr(ip_orig, ad_ip[i]) != nullptr)
            file_under(name_ad_ip[i], hour, msg);
    for (int i = 0; i < i_name; ++i)
        if (std::strstr(msg, site[i]) != nullptr)
            file_under(name_site[i], hour, msg);
}
