// What the listener is given besides its configuration: the port, checked
// before the resolver sees it, and the settings of the room the record may
// take, from the environment (the service's settings file; the command line
// stays as it is). The listener and ovelsk-check judge them alike.
#pragma once

#include <netdb.h>

// Whether the port can be given to the resolver: a number from 1 to 65535,
// or any other text, a service name for the resolver to judge.
bool port_ok(const char* port);

// The local addresses to listen on for port, as the resolver gives them
// (any family, datagrams, passive): getaddrinfo's result.
int resolve_port(const char* port, struct addrinfo** list);

// A setting refused: its name, its text and what it must be.
struct bad_setting {
    const char* name = nullptr;
    const char* text = nullptr;
    const char* meaning = nullptr;
};
// Reads OVELSK_DAY_MAX_MIB and OVELSK_FLOOR_PERCENT into day_max_bytes and
// floor_percent (room.h): digits only, within their limits; unset or empty
// leaves the default. False, with bad filled and nothing set, for any other
// text.
bool read_room_settings(bad_setting& bad);
