// The port and the room settings, read the one way the listener and
// ovelsk-check share.
#include <cstdlib>

#include "room.h"
#include "settings.h"
#include "text.h"

// The resolver reads a port as a number when the whole text is one for
// strtoul (blanks, a sign, digits, or nothing at all), and quietly wraps it
// to 16 bits: " 70000" and "+70000" would listen on 4464, and "" or "0" on a
// random port no sender knows. So a number must be a port from 1 to 65535.
bool port_ok(const char* port)
{
    number_text n = read_number(port, port_max);
    bool number = (n.digits && *n.end == '\0') || *port == '\0';
    return !number || (!n.negative && !n.over && n.value >= 1);
}

int resolve_port(const char* port, struct addrinfo** list)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    *list = nullptr;
    return getaddrinfo(nullptr, port, &hints, list);
}

// One setting: digits only, from 0 to max; unset or empty leaves value.
static bool setting(const char* name, unsigned long long max, unsigned long long& value,
                    const char* meaning, bad_setting& bad)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return true;
    number_text n = read_number(text, max);
    if (*text >= '0' && *text <= '9' && *n.end == '\0' && !n.over) {
        value = n.value;
        return true;
    }
    bad = {name, text, meaning};
    return false;
}

bool read_room_settings(bad_setting& bad)
{
    unsigned long long day_mib = 0, floor_pct = floor_percent_default;
    if (!setting("OVELSK_DAY_MAX_MIB", day_max_mib_max, day_mib,
                 "the bound of a day file, a number of MiB up to 1048576; 0 or empty: none", bad) ||
        !setting("OVELSK_FLOOR_PERCENT", floor_percent_max, floor_pct,
                 "the share of each file system kept free, a whole percentage from 0 to 50", bad))
        return false;
    day_max_bytes = static_cast<long long>(day_mib) << 20;
    floor_percent = static_cast<int>(floor_pct);
    return true;
}
