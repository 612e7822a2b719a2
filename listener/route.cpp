// What the listener does with each message: show it by the display mode and
// hand it to journal once for every rule it matches. This is the hot path:
// fixed buffers only, and no system call beyond the console write and the
// day-file appends.
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

#include "display.h"
#include "journal.h"
#include "route.h"
#include "text.h"

char repa[prefix_size];
char ip_orig[addr_text_size];

void* get_in_addr(struct sockaddr* sa)
{
    if (sa->sa_family == AF_INET)
        return &reinterpret_cast<struct sockaddr_in*>(sa)->sin_addr;
    return &reinterpret_cast<struct sockaddr_in6*>(sa)->sin6_addr;
}

// The sender whose text ip_orig holds: a flood comes from one sender, whose
// text is made once.
static struct {
    bool set = false;
    sa_family_t family = 0;
    unsigned char addr[sizeof(struct in6_addr)] = {};
} noted;

void note_sender(const struct sockaddr_storage& from)
{
    auto* sa = const_cast<struct sockaddr*>(reinterpret_cast<const struct sockaddr*>(&from));
    const void* addr = get_in_addr(sa);
    std::size_t len = from.ss_family == AF_INET ? sizeof(struct in_addr) : sizeof(struct in6_addr);
    if (noted.set && noted.family == from.ss_family && std::memcmp(noted.addr, addr, len) == 0)
        return;
    // The address text is held whole (45 characters for IPv6), so that
    // source rules and the display see the same text.
    noted.set = inet_ntop(from.ss_family, addr, ip_orig, sizeof ip_orig) != nullptr;
    if (!noted.set)
        ip_orig[0] = '\0';
    noted.family = from.ss_family;
    std::memcpy(noted.addr, addr, len);
}

void forget_sender()
{
    noted.set = false;
    ip_orig[0] = '\0';
}


// Files the message under one matched rule's prefix; in mode 2 shows it.
// Returns whether it was filed.
static bool file_under(const char (&prefix)[prefix_size], const char* hour, const char* msg)
{
    copy_field(repa, prefix);
    bool filed = journal(msg, repa) == 0;
    if (aff == 2)
        show(hour, ip_orig, msg);
    return filed;
}

bool route(const char* msg)
{
    char hour[hour_size] = "";
    if (aff != 0)
        display_hour(hour);
    if (aff == 1)
        show(hour, ip_orig, msg);

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
