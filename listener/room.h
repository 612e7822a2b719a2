// The room the record may take. A flood from one host must neither fill the
// card that the rest of the board writes on, nor take the room of the days
// the record keeps: so the listener never appends where the file system
// would then have less free space than a floor, and a day file stops
// growing at a bound. The journal asks before each append; while the room
// is plain, asking costs no system call.
#pragma once
#include <cstddef>
#include <ctime>
#include <sys/types.h>

#include "clock.h"
#include "conf.h"

// The directory of a prefix's day files: its text up to its last '/', or
// "." when it has none.
void prefix_dir(const char* prefix, char (&dir)[prefix_size]);

// The settings, from the environment (the service sets them in
// /etc/default/ovelsk). The floor is a share of each file system, as an
// unprivileged user counts its free space: even run as root the listener
// never takes the reserve ext4 keeps for root, nor the floor above it.
constexpr int floor_percent_default = 5;
constexpr unsigned long long floor_percent_max = 50;
constexpr unsigned long long day_max_mib_max = 1 << 20; // 1 TiB
extern int floor_percent;       // the share of each file system kept free
extern long long day_max_bytes; // the bound of one day file; 0: none

// The free space of a file system is read at most once a second, and again
// only when what was appended since the last reading could have reached the
// floor, or a minute after it (other programs write there too).
struct room {
    dev_t dev = 0;
    char dir[prefix_size] = {}; // a directory on it, by which it is read
    bool known = false;         // the last reading succeeded
    long long block = 1;        // its allocation unit
    long long total = 0;        // its size, in bytes
    long long free = 0;         // free to an unprivileged user, at the reading
    long long appended = 0;     // bytes the listener took on it since
    std::time_t read_at = 0;    // when it was read
    long long floor() const { return total / 100 * floor_percent; }
};

// The file system the day files of prefix go to, by the directory of the
// prefix; -1 when that directory cannot be looked at (the append then says
// what is wrong with it).
int room_of(const char* prefix, std::time_t now);

// The bytes an append of len to a file of size bytes takes on room at:
// the blocks it adds (size -1: not known, so a block more).
long long room_needed(int at, long long size, std::size_t len);
// Whether need bytes can be appended on room at at now without going below
// its floor; reads the free space when that is due.
bool room_for(int at, long long need, std::time_t now);
// Counts need bytes taken on room at by an append.
void room_taken(int at, long long need);
// Says why room at has no room: its free space and its floor.
void room_why(int at, char* out, std::size_t size);

// Forgets every file system, as at start-up (for the tests).
void room_reset();
