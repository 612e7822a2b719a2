// What the listener does with each message: show it by the display mode and
// hand it to journal once for every rule it matches. This is the hot path:
// fixed buffers only, and no system call beyond the console write and the
// day-file appends.
#include <cstring>

#include "display.h"
#include "journal.h"
#include "receive.h"
#include "route.h"
#include "text.h"

char repa[prefix_size];

// Files the message under one matched rule's prefix; in mode 2 shows it.
// Returns whether it was filed.
static bool file_under(const char (&prefix)[prefix_size], const char* hour, const char* msg)
{
    copy_field(repa, prefix);
    bool filed = journal(msg, repa) == 0;
    if (aff == 2)
        show(hour, msg);
    return filed;
}

bool route(const char* msg)
{
    char hour[hour_size] = "";
    if (aff != 0)
        display_hour(hour);
    if (aff == 1)
        show(hour, msg);

    // Every rule is tried: k matches give k appends, source rules first.
    bool filed = true;
    for (int i = 0; i < i_ip; ++i)
        if (std::strstr(ip_orig, ad_ip[i]) != nullptr)
            filed = file_under(name_ad_ip[i], hour, msg) && filed;
    for (int i = 0; i < i_name; ++i)
        if (std::strstr(msg, site[i]) != nullptr)
            filed = file_under(name_site[i], hour, msg) && filed;
    return filed;
}
