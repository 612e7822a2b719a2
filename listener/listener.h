// The listener's process-wide state and its pieces: the configuration reader
// (init), the router run for every message (route), and the day-file writer
// (journal). All storage is fixed and static; nothing is allocated.
#pragma once
#include <cstddef>
#include <ctime>
#include <sys/socket.h>
#include <sys/types.h>

#include "conf.h"

constexpr std::size_t port_size = 9;      // port argument: at most 8 characters
constexpr std::size_t path_size = 120;    // configuration path: at most 119
constexpr std::size_t msg_max = 499;      // payload bytes kept of a datagram
constexpr std::size_t addr_text_size = 46;// address text, IPv6 at most 45
constexpr std::size_t site_size = 50;     // content key slot
constexpr std::size_t day_path_size = 64; // day-file path: at most 63
constexpr int queue_bytes = 4 << 20;      // socket receive queue asked for

extern char myport[port_size];
extern int aff;                      // display mode: 0 nothing, 1 all, 2 matched
extern char ip_orig[addr_text_size]; // sender's address text of this message
extern char repa[prefix_size];       // prefix of the current match

// The routing tables. Every slot is at least as wide as the field of the
// shared rule it is copied from, and repa as wide as a prefix slot, so no
// copy of a key or prefix can fail and leave it empty: an empty key would
// match every message, and an empty prefix would file into the date-only
// file. The limits (24 characters for a source key or a prefix) are those
// of the shared rule.
extern char site[MAX_RULES][site_size];         // content rules: key
extern char name_site[MAX_RULES][prefix_size];  //                prefix
extern int i_name;
extern char ad_ip[MAX_RULES][conf_key_size];    // source rules: key
extern char name_ad_ip[MAX_RULES][prefix_size]; //               prefix
extern int i_ip;

// A console stream: standard output for display lines, standard error for
// failure reports. Until console_open takes it over it is plain stdio; after,
// a line that cannot be written at once is dropped and counted, and never
// holds up the receive loop (console.cpp).
constexpr std::size_t console_size = 8192;
struct console {
    int number;          // 1 standard output, 2 standard error
    const char* notice;  // said, with the count, before the next line shown
    int fd = -1;         // -1: not taken over, written through stdio
    bool socket = false; // the system journal's stream
    bool lines = true;   // line by line; otherwise in blocks
    bool broken = false; // the reader is gone: nothing more is written
    std::size_t block = 0;
    unsigned long lost = 0; // lines dropped since the last notice
    std::size_t len = 0;    // bytes pending in buf
    char buf[console_size] = {};
};
extern console out_console;
extern console err_console;

// Takes a stream over from stdio, once the start-up lines are out.
void console_open(console& c);
// Writes one whole line (text ends in a newline), or drops and counts it.
void console_put(console& c, const char* text, std::size_t n);

// Breaks a time down into local time. The system's time zone is looked at
// again at most once a minute, so a change of it reaches the listener
// without a re-read per message; TZ in the environment wins.
bool local_time(std::time_t now, std::tm& out);

// Reads the routing configuration into the tables and aff.
void init(const char* path);

// Builds " stamp  ***  msg  \n" for a broken-down local time into out.
// Returns its length, or 0 when it does not fit.
std::size_t log_line(char* out, std::size_t size, const char* msg, const std::tm& when);

// Appends one log line for msg to today's day file of prefix. Failures are
// reported on standard error; the caller goes on either way. Returns 0.
int journal(const char* msg, const char* prefix);

// Where the address bytes of a sender address lie.
void* get_in_addr(struct sockaddr* sa);

// Receives one datagram of at most size bytes, retrying when a signal
// interrupts the wait. Returns the length, or -1 with errno set.
ssize_t receive(int fd, char* buf, std::size_t size, struct sockaddr_storage& from);

// Puts the sender's address text into ip_orig.
void note_sender(const struct sockaddr_storage& from);

// Displays and files one message (the text up to its first NUL) from the
// sender in ip_orig, by the display mode and the rules.
void route(const char* msg);
