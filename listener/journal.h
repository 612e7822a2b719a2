// The day files: a log line appended for each rule a message matches, and
// the appends written to disk within seconds (the sync, and the rule of when
// it is due).
#pragma once
#include <cstddef>
#include <ctime>

#include "day_file.h"
#include "listener.h"
#include "room.h"

// Room for the path of a day file (day_file.h), with some to spare.
constexpr std::size_t listener_day_path_size = 64; // at most 63 characters
static_assert(listener_day_path_size > day_path_max, "every rule's day file must fit");

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
// Returns how many it said.
int journal_check_dirs();

// Appends one log line for msg to today's day file of prefix, unless the
// file system would then be below its floor or the day file past its bound
// (room.h). Failures are reported on standard error, when they start, once
// a minute while they last, and when they end; the caller goes on either
// way. Returns 0 when the line was filed, -1 when it was not.
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

// Says each prefix whose messages are not being filed, with why and how
// many were not (at the stop: nothing lost goes uncounted).
void journal_say_unfiled();

// Writes every day file appended to since the last sync to disk now,
// whenever the last sync was (at the stop).
void journal_sync_now();



// Forgets every day file and waiting append, and the zone last looked at,
// as at start-up (for the tests, which run many listeners' worth in one
// process).
void journal_reset();
