// The day-file writer. Each log line is appended with one open, one write and
// one close: the listener holds no day file open between messages, so the
// cleaner or an operator may delete or move one at any time, and the next
// message simply creates it again. A day file only ever holds whole lines,
// and a file that is not a regular one (a FIFO, a device) is reported and
// skipped without ever blocking.
//
// What a power cut can cost is bounded: the appends are written to disk
// within 5 seconds, and at most once a second (journal_sync); a day file that
// a crash left ending in NUL bytes or in part of a line is made whole before
// its next line (day_bytes.cpp).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clock.h"
#include "console.h"
#include "day_bytes.h"
#include "day_file.h"
#include "journal.h"
#include "text.h"

// The stamp of a log line at a broken-down local time; false when it does
// not fit.
static bool log_stamp(char (&stamp)[log_stamp_len + 1], const std::tm& when)
{
    return std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S", &when) != 0;
}

// " stamp  ***  msg  \n", copied piece by piece.
static std::size_t stamped_line(char* out, std::size_t size, const char* msg, const char* stamp)
{
    std::size_t s = std::strlen(stamp), m = std::strlen(msg);
    std::size_t n = 1 + s + (sizeof log_mid - 1) + m + (sizeof log_end - 1);
    if (n >= size)
        return 0;
    char* p = out;
    *p++ = ' ';
    std::memcpy(p, stamp, s);
    p += s;
    std::memcpy(p, log_mid, sizeof log_mid - 1);
    p += sizeof log_mid - 1;
    std::memcpy(p, msg, m);
    p += m;
    std::memcpy(p, log_end, sizeof log_end); // with its NUL
    return n;
}

std::size_t log_line(char* out, std::size_t size, const char* msg, const std::tm& when)
{
    char stamp[log_stamp_len + 1];
    return log_stamp(stamp, when) ? stamped_line(out, size, msg, stamp) : 0;
}

// The local time of one second and its stamp, the same for every message
// filed in it: broken down and formatted once for them all.
struct dated_second {
    bool set = false;   // at is a second looked at
    std::time_t at = 0;
    bool ok = false;    // the clock's time has a local date, and a stamp
    std::tm when = {};
    char stamp[log_stamp_len + 1] = {};
};
static dated_second second;

static const dated_second& dated(std::time_t now)
{
    if (!second.set || second.at != now) {
        second.set = true;
        second.at = now;
        second.ok = local_time(now, second.when) && log_stamp(second.stamp, second.when);
    }
    return second;
}

// What the listener knows of the day file of each prefix: its path, what it
// was found to be, whether appending to it fails, and whether it holds
// appends not yet written to disk. A failure is said when it starts, at most
// once a minute while it lasts, with the number of messages it cost, and
// when it ends.
struct day_state {
    char prefix[prefix_size];
    char path[listener_day_path_size];
    std::time_t named_at; // the second path was last made for
    bool tail_checked;   // its end was looked at in this run (repair_tail)
    std::time_t seen_regular; // when it was last found a regular file; 0: not yet
    long long size;      // its size then, and since counted; -1: not known
    int room;            // its file system (room.h); -1: none known
    std::time_t room_looked; // when the file system was looked for; 0: not yet
    bool failing;
    unsigned long lost;  // messages not filed since the failure began
    std::time_t said;    // when the failure was last reported
    char why[160];       // what it was, as last said
    bool dirty;          // appended to since the last sync
    std::size_t unstarted; // bytes appended whose write to disk is not started
    bool sync_failing;   // the last sync failed, and was said
};
// One per prefix of the tables, which hold MAX_PREFIXES at most.
static day_state states[MAX_PREFIXES];
static int n_states;
static int n_dirty;              // files with appends not yet synced
static std::size_t waiting_bytes; // bytes appended since the last sync
static long long waiting_ms = -1; // when the first of them was, or -1
static long long synced_ms = LLONG_MIN / 2; // when the last sync was made: long ago

void journal_reset()
{
    for (auto& s : states)
        s = day_state{};
    n_states = 0;
    n_dirty = 0;
    waiting_bytes = 0;
    waiting_ms = -1;
    synced_ms = LLONG_MIN / 2;
    clock_reset();
    second = dated_second{};
    room_reset();
}

// The state of prefix; nullptr for a prefix past MAX_PREFIXES, which cannot
// be: every prefix comes from the tables.
static day_state* state_of(const char* prefix)
{
    for (int i = 0; i < n_states; ++i)
        if (std::strcmp(states[i].prefix, prefix) == 0)
            return &states[i];
    if (n_states == MAX_PREFIXES)
        return nullptr;
    day_state& s = states[n_states++];
    s = day_state{};
    s.size = -1;
    s.room = -1;
    copy_text(s.prefix, prefix);
    return &s;
}

// Writes "listener: journal: where: " and the rest on standard error, as one
// line.
static void report(const char* where, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static void report(const char* where, const char* fmt, ...)
{
    char head[64 + listener_day_path_size];
    std::snprintf(head, sizeof head, "listener: journal: %s: ", where); // a path fits
    va_list ap;
    va_start(ap, fmt);
    console_vreport(head, fmt, ap);
    va_end(ap);
}

// One message could not be filed in the day file of s; where names it (its
// path, or its prefix when no path could be made), why says what failed.
// Returns -1, for journal to return.
static int not_filed(day_state& s, const char* where, const char* why, std::time_t now)
{
    copy_text(s.why, why); // every reason fits
    if (!s.failing) {
        s.failing = true;
        s.lost = 1;
        s.said = now;
        report(where, "%s\n", why);
        return -1;
    }
    ++s.lost;
    if (recheck_due(now, s.said)) {
        s.said = now;
        report(where, "%s (%lu messages not filed so far)\n", why, s.lost);
    }
    return -1;
}

void journal_say_unfiled()
{
    for (int i = 0; i < n_states; ++i) {
        const day_state& s = states[i];
        if (s.failing)
            report(s.path[0] != '\0' ? s.path : s.prefix, "%s (%lu messages not filed so far)\n", s.why,
                   s.lost);
    }
}

// Asks the kernel to write the day file's appends to disk. The file is looked
// up by its name: one that was deleted since holds nothing to keep.
static void sync_file(day_state& s)
{
    s.dirty = false;
    s.unstarted = 0;
    --n_dirty;
    int fd = open(s.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    int err = 0;
    if (fd < 0)
        err = errno == ENOENT ? 0 : errno;
    else {
        if (fdatasync(fd) != 0)
            err = errno;
        close(fd);
    }
    if (err != 0 && !s.sync_failing)
        report(s.path, "sync: %s\n", std::strerror(err));
    s.sync_failing = err != 0;
}

bool sync_due(long long now_ms, long long last_ms, long long since_ms, std::size_t bytes)
{
    if (now_ms < last_ms)
        return true; // a clock that went back holds nothing off
    if (now_ms - last_ms < sync_gap_ms)
        return false;
    return now_ms - since_ms >= sync_interval_ms || bytes >= sync_bytes;
}

// Syncs every day file appended to since the last sync.
static void sync_all(long long now_ms)
{
    for (int i = 0; i < n_states && n_dirty > 0; ++i)
        if (states[i].dirty)
            sync_file(states[i]);
    synced_ms = now_ms;
    waiting_bytes = 0;
    waiting_ms = -1;
}

bool journal_sync(long long now_ms)
{
    if (n_dirty == 0)
        return false;
    if (waiting_ms < 0)
        waiting_ms = now_ms;
    if (!sync_due(now_ms, synced_ms, waiting_ms, waiting_bytes))
        return true;
    sync_all(now_ms);
    return false;
}

void journal_sync_now()
{
    if (n_dirty > 0)
        sync_all(monotonic_ms());
}

// Says what repair_tail found at the end of the day file at path.
static void say_repair(const char* path, const tail_repair& r)
{
    // A short transfer sets no errno: what happened is said instead.
    const char* why = r.err != 0 ? std::strerror(r.err)
                      : r.failed == tail_repair::reading ? "fewer bytes read than its size holds"
                                                         : "nothing written";
    if (r.failed == tail_repair::reading) {
        report(path, "end not readable: %s\n", why);
        return;
    }
    if (r.nul_bytes > 0) {
        if (r.failed == tail_repair::cutting) {
            report(path, "%lld NUL bytes left by a crash not removed: %s\n", r.nul_bytes, why);
            return;
        }
        report(path, "%lld NUL bytes left by a crash removed\n", r.nul_bytes);
    }
    if (r.partial && r.failed == tail_repair::ending)
        report(path, "partial line left by a crash not ended: %s\n", why);
    else if (r.partial)
        report(path, "partial line left by a crash ended with a newline\n");
}

// Opens the day file of s at path for one append. O_NONBLOCK: a FIFO or a
// device at the path must never hang the listener in open or write; and
// O_NOFOLLOW: a link planted where a day file should be is never followed,
// so the repair below can never cut another file (a link to a directory
// higher in the prefix still works). The
// first open of the file in a run also reads its end, to repair what a crash
// left there; a file that can be written but not read is appended to all the
// same. What the file is, is looked at when it is first opened, then once a
// minute, and at every message while it fails: a regular file costs no
// system call more. Returns the descriptor, or -1 when the message is not
// filed (said by not_filed).
static int open_day_file(day_state& s, const char* path, std::time_t now)
{
    bool repair = !s.tail_checked;
    int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
    int fd = open(path, flags | (repair ? O_RDWR : O_WRONLY), 0666);
    if (fd < 0 && repair && errno == EACCES) {
        repair = false;
        fd = open(path, flags | O_WRONLY, 0666);
    }
    if (fd < 0) {
        // ENXIO: a FIFO with no reader; ELOOP: a link.
        bool special = errno == ENXIO || errno == ELOOP;
        not_filed(s, path, special ? "not a regular file" : std::strerror(errno), now);
        return -1;
    }
    if (s.seen_regular == 0 || s.failing || recheck_due(now, s.seen_regular)) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            not_filed(s, path, "not a regular file", now);
            return -1;
        }
        s.size = st.st_size;
        if (repair && st.st_size > 0) {
            tail_repair r = repair_tail(fd, st.st_size);
            say_repair(path, r);
            s.size -= r.failed == tail_repair::cutting ? 0 : r.nul_bytes;
            s.size += r.partial && r.failed == tail_repair::done ? 1 : 0;
        }
        s.seen_regular = now;
    }
    s.tail_checked = true;
    return fd;
}

// Says whether the listener can create day files in the directory of
// prefix, unless an earlier prefix of the list said it already. Returns 1
// when it cannot.
static int check_dir(const char* prefix, const char* (&said)[2 * MAX_RULES], int& n_said)
{
    for (int i = 0; i < n_said; ++i)
        if (std::strcmp(said[i], prefix) == 0)
            return 0;
    said[n_said++] = prefix;
    char dir[prefix_size];
    prefix_dir(prefix, dir);
    if (faccessat(AT_FDCWD, dir, W_OK | X_OK, AT_EACCESS) == 0)
        return 0;
    report(prefix, "directory not writable: %s\n", std::strerror(errno));
    return 1;
}

int journal_check_dirs()
{
    const char* said[2 * MAX_RULES];
    int n_said = 0, failing = 0;
    for (int i = 0; i < i_ip; ++i)
        failing += check_dir(name_ad_ip[i], said, n_said);
    for (int i = 0; i < i_name; ++i)
        failing += check_dir(name_site[i], said, n_said);
    return failing;
}

int journal(const char* msg, const char* prefix)
{
    return journal_at(msg, prefix, std::time(nullptr));
}

// The day file of s has reached the bound.
static int at_bound(day_state& s, const char* path, std::time_t now)
{
    char why[120];
    std::snprintf(why, sizeof why, "not filed: the day file reached its bound of %lld MiB; the prefix files again the next day",
                  day_max_bytes >> 20);
    return not_filed(s, path, why, now);
}

int journal_at(const char* msg, const char* prefix, std::time_t now)
{
    static char path[listener_day_path_size];
    static char line[log_line_max + 1];

    day_state* found = state_of(prefix);
    if (found == nullptr)
        return -1;
    day_state& s = *found;
    const dated_second& d = dated(now);
    if (!d.ok)
        return not_filed(s, prefix, "no local date for the clock's time", now);
    // The day file's name is made once a second: within one, it is the
    // last message's.
    if (s.path[0] == '\0' || s.named_at != now) {
        if (!day_file_name(path, sizeof path, prefix, d.when))
            return not_filed(s, prefix, "day-file name too long", now);
        if (std::strcmp(s.path, path) != 0) {
            if (s.dirty)
                sync_file(s); // yesterday's last lines, before its name is forgotten
            copy_field(s.path, path);
            s.tail_checked = false; // a new day's file: look at what it is
            s.seen_regular = 0;
            s.size = -1;
        }
        s.named_at = now;
    }
    std::size_t len = stamped_line(line, sizeof line, msg, d.stamp);
    if (len == 0)
        return not_filed(s, s.path, "log line too long", now);

    // The bound and the floor, from what is known: no system call, but
    // what is there to look at again once a minute (a day file at its bound
    // that was removed) or once a second (free space short).
    bool bound = day_max_bytes > 0;
    auto over = [&s, len] { return s.size >= 0 && s.size + static_cast<long long>(len) > day_max_bytes; };
    if (bound && over() && !recheck_due(now, s.seen_regular))
        return at_bound(s, s.path, now);
    if (s.room < 0 && (s.room_looked == 0 || recheck_due(now, s.room_looked))) {
        s.room = room_of(prefix, now);
        s.room_looked = now;
    }
    bool size_unknown = s.size < 0;
    long long need = room_needed(s.room, s.size, len);
    if (!room_for(s.room, need, now)) {
        char why[sizeof s.why];
        room_why(s.room, why, sizeof why);
        return not_filed(s, s.path, why, now);
    }

    int fd = open_day_file(s, s.path, now);
    if (fd < 0)
        return -1;
    if (size_unknown)
        need = room_needed(s.room, s.size, len); // known once the file is open
    if (bound && over()) {
        close(fd);
        return at_bound(s, s.path, now);
    }
    append_result r = append_whole(fd, line, len);
    if (r.err == 0) {
        // Under a flood, the kernel is asked now and then to start writing
        // the appends, without waiting: the sync then finds little left to
        // write, and holds the receive up for no longer than that.
        s.unstarted += len;
        if (s.unstarted >= writeback_bytes) {
            sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            s.unstarted = 0;
        }
    }
    if (close(fd) != 0 && r.err == 0)
        r.err = errno;
    if (r.err != 0 || r.nothing)
        return not_filed(s, s.path,
                         r.stuck ? "part of a line written and not taken back"
                         : r.nothing ? "nothing written"
                                     : std::strerror(r.err),
                         now);
    if (s.size >= 0)
        s.size += static_cast<long long>(len);
    room_taken(s.room, need);
    if (!s.dirty) {
        s.dirty = true;
        ++n_dirty;
    }
    waiting_bytes += len;
    if (s.failing) {
        s.failing = false;
        report(s.path, "filing again after %lu messages not filed\n", s.lost);
    }
    return 0;
}
