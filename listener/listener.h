// The listener's process-wide state and its pieces: the configuration reader
// (init), the receive loop (serve), the router run for every message (route),
// the day-file writer (journal) and the console. All storage is fixed and
// static; nothing is allocated.
#pragma once
#include <cstddef>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <sys/socket.h>
#include <sys/types.h>

#include "conf.h"
#include "day_file.h"

constexpr std::size_t port_size = 9;      // port argument: at most 8 characters
constexpr std::size_t msg_max = 499;      // payload bytes kept of a datagram
constexpr std::size_t addr_text_size = 46;// address text, IPv6 at most 45
constexpr std::size_t site_size = 50;     // content key slot
// Room for the path of a day file (day_file.h), with some to spare.
constexpr std::size_t listener_day_path_size = 64; // at most 63 characters
static_assert(listener_day_path_size > day_path_max, "every rule's day file must fit");
// The socket receive queue asked for, in bytes: the figure of the sysctl
// file that lets an unprivileged listener have it (packaging/60-ovelsk.conf).
constexpr int queue_bytes = KIT_QUEUE_BYTES;

extern char myport[port_size];       // main.cpp
extern int aff;                      // init.cpp: display mode, 0 nothing, 1 all, 2 matched
extern char ip_orig[addr_text_size]; // receive.cpp: sender's address text of this message
extern char repa[prefix_size];       // route.cpp: prefix of the current match

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

// The console (console.cpp): standard output for display lines, standard
// error for failure reports. Until console_open takes them over they are
// plain stdio; after, a line that cannot be written at once is dropped and
// counted, and never holds up the receive loop.
constexpr std::size_t console_block = 4096; // a pipe takes this much at once (PIPE_BUF)
// A file behind one or both streams, and what is pending for it.
struct console_file {
    int fd = -1;
    enum way { own, regular, socket, polled } how = own; // see console.cpp
    bool broken = false;  // the reader is gone: nothing more is written
    std::size_t len = 0;  // bytes pending in buf
    char buf[console_block] = {};
};
struct console {
    int number;          // 1 standard output, 2 standard error
    const char* late;    // said, with the count, before the next line shown
    const char* failed;  // the same when a write failed, with why
    console_file* file = nullptr; // nullptr: not taken over, written through stdio
    bool lines = true;   // line by line; otherwise in blocks
    unsigned long lost = 0; // lines dropped since the last notice
    int lost_err = 0;       // why the last write among them failed, or 0: too slow
};
extern console out_console;
extern console err_console;

// Whether standard output was asked to go line by line (stdbuf -oL or -o0).
bool stdbuf_lines();
// Takes both streams over from stdio, once the start-up lines are out.
void console_open();
// Takes the streams over onto the descriptors out and err (console_open's
// work, for the tests).
void console_attach(int out, int err);
// Gives the streams back to stdio, as at start-up (for the tests).
void console_reset();
// Writes one whole line (text ends in a newline), or drops and counts it.
void console_put(console& c, const char* text, std::size_t n);
// Writes what both streams gathered, as far as the files take it at once
// (at the stop).
void console_flush();
// The time bound of a write to a file shared with another user (a terminal,
// a pipe), which may wait whatever poll said: armed, its signal interrupts
// the write every write_bound_us until disarmed, so that a write started
// late, after a pause of the listener, is still cut. False when the timer
// could not be armed: the write is then not tried.
bool arm_write_bound();
void disarm_write_bound();

// How often the listener looks again at what does not change per message:
// the time zone, a day file's type, and a failure that lasts. True when that
// long has passed since then, or the clock went back before it.
constexpr std::time_t recheck_seconds = 60;
constexpr bool recheck_due(std::time_t now, std::time_t then)
{
    return now - then >= recheck_seconds || now < then;
}

// Breaks a time down into local time (local_time.cpp). The system's time
// zone is looked at again at most once a minute, so a change of it reaches
// the listener without a re-read per message; TZ in the environment wins.
bool local_time(std::time_t now, std::tm& out);
// Forgets when the zone was last looked at, as at start-up.
void local_time_reset();

// Reads the routing configuration into the tables and aff.
void init(const char* path);

// A log line: one blank, the stamp "dd/mm/YYYY HH:MM:SS", log_mid, the
// message, log_end. log_line_max is the longest, NUL not counted.
constexpr std::size_t log_stamp_len = 19;
constexpr char log_mid[] = "  ***  ";
constexpr char log_end[] = "  \n";
constexpr std::size_t log_line_max =
    1 + log_stamp_len + (sizeof log_mid - 1) + msg_max + (sizeof log_end - 1);
// Builds " stamp  ***  msg  \n" for a broken-down local time into out.
// Returns its length, or 0 when it does not fit.
std::size_t log_line(char* out, std::size_t size, const char* msg, const std::tm& when);

// Says on standard error, once at start, each prefix of the tables in whose
// directory the listener cannot create day files (a missing directory, a
// read-only file system), with the system's reason: the operator sees it
// when the listener starts, not at the first message's failed append.
void journal_check_dirs();

// Appends one log line for msg to today's day file of prefix. Failures are
// reported on standard error; the caller goes on either way. Returns 0.
int journal(const char* msg, const char* prefix);
// The same at a given clock reading, so that the once-a-minute rules can be
// tried without waiting.
int journal_at(const char* msg, const char* prefix, std::time_t now);

// The appends are written to disk when the first of them is 5 seconds old,
// so that a power cut costs at most the last 6 seconds of messages. Sooner
// would multiply what an SD card writes at a message a second: each sync
// commits the file system's journal, which ext4 does every 5 seconds anyway.
// Under a flood, a sync is made as soon as 4 MiB wait, but never within a
// second of the last: what a sync waits for stays short, and the socket's
// queue rides it out.
constexpr long long sync_interval_ms = 5000;
constexpr long long sync_gap_ms = 1000;
constexpr std::size_t sync_bytes = 4 << 20;
// Every this many bytes appended to a day file, its write to disk is started
// without waiting (sync_file_range), so that a sync under a flood is short.
constexpr std::size_t writeback_bytes = 256 << 10;
// Whether to sync at now_ms, the last sync made at last_ms, bytes appended
// since, the first of them at since_ms (milliseconds of a clock that never
// goes back).
bool sync_due(long long now_ms, long long last_ms, long long since_ms, std::size_t bytes);
// Writes the day files appended to since the last sync to disk, if the last
// sync is sync_interval_ms old. Returns whether appends are still waiting
// for it: then the caller calls again within a second, traffic or not.
bool journal_sync(long long now_ms);

// Writes every day file appended to since the last sync to disk now,
// whenever the last sync was (at the stop).
void journal_sync_now();

// The receive loop's part of the sync: syncs what journal_sync finds due at
// now_ms, and keeps the receive's timeout on fd set to a second exactly
// while appends wait, or more says that something else waits for a quiet
// second, so that they reach the disk on time even when no message comes,
// and an idle listener sleeps until the next one. timed says whether the
// timeout is set; the caller starts it false, with none set.
void sync_on_time(int fd, bool& timed, long long now_ms, bool more = false);

// Forgets every day file and waiting append, and the zone last looked at,
// as at start-up (for the tests, which run many listeners' worth in one
// process).
void journal_reset();

// Where the address bytes of a sender address lie.
void* get_in_addr(struct sockaddr* sa);

// Receives one datagram of at most size bytes (recvmsg flags: 0, or
// MSG_DONTWAIT), retrying when a signal interrupts the wait, unless it is a
// stop. Returns the length, or -1 with errno set (EAGAIN when the socket's
// receive timeout passed or nothing is queued, EINTR at a stop). dropped is
// set to the socket's count of datagrams the kernel dropped, when it comes
// with the datagram.
ssize_t receive(int fd, char* buf, std::size_t size, struct sockaddr_storage& from,
                std::uint32_t& dropped, int flags);

// What the listener said of the datagrams the kernel dropped when the
// receive queue was full: said while the count grows, at most once a minute,
// and once more, with the total, by the first datagram after a quiet second.
// Nothing is said while nothing is dropped.
constexpr long long drops_every_ms = 60000;
constexpr long long drops_quiet_ms = 1000;
struct drop_watch {
    std::uint32_t seen = 0;             // the count the last datagram came with
    std::uint32_t said = 0;             // the count last said
    long long said_ms = -drops_every_ms; // when it was said
    long long last_ms = 0;              // when the last datagram came
};
// Notes the count a datagram came with at now_ms; true when it is to be said.
bool drops_due(drop_watch& w, std::uint32_t count, long long now_ms);
// Notes the count the kernel gives after a quiet second (or at the stop),
// which holds what was dropped after the last datagram received; true when
// it is to be said.
bool drops_settled(drop_watch& w, std::uint32_t count, long long now_ms);

// A Pi has no real-time clock: it starts on the last saved time and steps
// when the network time comes, maybe days. The day files follow the clock;
// the step is said once, so that the operator knows which lines were dated
// by the clock as it was. A step is the wall clock moving against the
// monotonic one by clock_step_s or more (a slewing clock never does).
constexpr long long clock_step_s = 60;
struct clock_watch {
    bool set = false;
    long long offset = 0; // wall clock seconds less monotonic seconds
};
// Notes both clocks at a datagram; returns the step in seconds (negative:
// back) when there was one since the last, or 0.
long long clock_step(clock_watch& w, long long wall_s, long long mono_ms);
// Milliseconds of a clock that never goes back.
long long monotonic_ms();

// Puts the sender's address text into ip_orig.
void note_sender(const struct sockaddr_storage& from);

// The receive loop: receives, routes and files messages until receiving
// fails or a stop signal comes. Returns the stop signal once the queue is
// filed (see catch_stops), or 0 when receiving failed, with errno set.
int serve(int fd);

// The stop. SIGTERM, SIGINT and SIGHUP (each unless it was ignored when the
// listener started, as nohup leaves SIGHUP) are caught: the message in hand
// is filed under every rule it matches, then the datagrams queued on fd are
// received without waiting and filed, for stop_drain_ms at most, so that a
// flood cannot hold the stop up; the day files are synced, and serve
// returns the signal, for main to end by it.
constexpr long long stop_drain_ms = 2000;
extern volatile sig_atomic_t stop_signal; // the stop signal caught, or 0
void catch_stops(int fd);

// A message as the display line shows it: any host may send any bytes, and
// none may reach the operator's terminal or the journal raw. A C0 control
// byte but tab, DEL, a C1 control (U+0080 to U+009F) and a byte that is not
// part of valid UTF-8 are shown as \xHH; printable ASCII, tab and valid UTF-8
// as sent. So one message is always one display line. shown_max holds the
// longest message escaped whole, and its NUL.
constexpr std::size_t shown_max = 4 * msg_max + 1;
// Writes msg shown into out, no NUL added. Returns its length, or 0 when it
// does not fit in size bytes.
std::size_t shown_text(char* out, std::size_t size, const char* msg);

// Displays and files one message from the sender in ip_orig, by the display
// mode and the rules. The message is the text up to its first NUL, and at
// most msg_max bytes long: the receive buffer holds no more.
void route(const char* msg);
