// The listener's process-wide state: its settings and the routing tables,
// filled once at start by the configuration reader (init.cpp) and read for
// every message. All storage is fixed and static; nothing is allocated.
//
// A message's path has a header for each concern, each using only those
// after it: receive.h (the socket, the loop, its timeout and its stop),
// route.h (the sender, and which rules a message matches), display.h (its
// display line), journal.h (its day files and their sync), room.h (the
// floor of free space and the day-file bound), clock.h (the local time and
// the clock that never goes back) and console.h (standard output and
// standard error). Start-up has settings.h (the port and the room's
// settings) and manager.h (the service manager's protocol).
#pragma once
#include <cstddef>

#include "conf.h"

constexpr std::size_t port_size = 9;      // port argument: at most 8 characters
constexpr std::size_t msg_max = 499;      // payload bytes kept of a datagram
constexpr std::size_t addr_text_size = 46;// address text, IPv6 at most 45
constexpr std::size_t site_size = 50;     // content key slot

extern char myport[port_size];       // main.cpp
extern int aff;                      // init.cpp: display mode, 0 nothing, 1 all, 2 matched

// The routing tables (init.cpp). Every slot is at least as wide as the field
// of the shared rule it is copied from, and repa as wide as a prefix slot, so
// no copy of a key or prefix can fail and leave it empty: an empty key would
// match every message, and an empty prefix would file into the date-only
// file. The limits (24 characters for a source key or a prefix) are those
// of the shared rule.
extern char site[MAX_RULES][site_size];         // content rules: key
extern char name_site[MAX_RULES][prefix_size];  //                prefix
extern int i_name;
extern char ad_ip[MAX_RULES][conf_key_size];    // source rules: key
extern char name_ad_ip[MAX_RULES][prefix_size]; //               prefix
extern int i_ip;

// Reads the routing configuration into the tables and aff.
void init(const char* path);
