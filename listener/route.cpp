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

// Shows the display line "H:hour|from:sender | msg"" on the console.
static void show(const char* hour, const char* msg)
{
    static char line[2 + 8 + 6 + addr_text_size + 3 + msg_max + 3];
    std::size_t n = 0;
    for (const char* piece : {"H:", hour, "|from:", static_cast<const char*>(ip_orig), " | ", msg,
                              "\"\n"}) {
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
    char hour[9] = "";
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
