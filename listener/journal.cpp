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
// its next line.
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

#include "day_file.h"
#include "listener.h"
#include "text.h"

// One blank, a 19-character stamp, "  ***  ", the message, "  \n".
constexpr std::size_t log_line_size = 1 + 19 + 7 + msg_max + 3 + 1;

// How often the journal looks again at what does not change per message: the
// time zone, a day file's type, and a failure that lasts.
constexpr std::time_t recheck_seconds = 60;

// Whether the recheck interval has passed since then, or the clock went back
// before it.
static bool recheck_due(std::time_t now, std::time_t then)
{
    return now - then >= recheck_seconds || now < then;
}

std::size_t log_line(char* out, std::size_t size, const char* msg, const std::tm& when)
{
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S", &when) == 0)
        return 0;
    // " stamp  ***  msg  \n", copied piece by piece.
    static const char mid[] = "  ***  ";
    static const char end[] = "  \n";
    std::size_t s = std::strlen(stamp), m = std::strlen(msg);
    std::size_t n = 1 + s + (sizeof mid - 1) + m + (sizeof end - 1);
    if (n >= size)
        return 0;
    char* p = out;
    *p++ = ' ';
    std::memcpy(p, stamp, s);
    p += s;
    std::memcpy(p, mid, sizeof mid - 1);
    p += sizeof mid - 1;
    std::memcpy(p, msg, m);
    p += m;
    std::memcpy(p, end, sizeof end); // with its NUL
    return n;
}

static std::time_t tz_looked; // when local_time last looked at the zone
static bool tz_ever;          // whether it ever did

bool local_time(std::time_t now, std::tm& out)
{
    // tzset looks at TZ, and when it is unset stats /etc/localtime and reads
    // it again only if it changed: one system call a minute at most.
    std::time_t& looked = tz_looked;
    bool& ever = tz_ever;
    if (!ever || recheck_due(now, looked)) {
        tzset();
        looked = now;
        ever = true;
    }
    return localtime_r(&now, &out) != nullptr;
}

// What the listener knows of the day file of each prefix: its path, when it
// was last found to be a regular file, whether appending to it fails, and
// whether it holds appends not yet written to disk. A failure is said when it
// starts, at most once a minute while it lasts, with the number of messages
// it cost, and when it ends.
struct day_state {
    char prefix[prefix_size];
    char path[listener_day_path_size];
    std::time_t checked; // when the file was last found regular; 0: never
    bool failing;
    unsigned long lost;  // messages not filed since the failure began
    std::time_t said;    // when the failure was last reported
    bool dirty;          // appended to since the last sync
    std::size_t unstarted; // bytes appended whose write to disk is not started
    bool sync_failing;   // the last sync failed, and was said
};
// One per prefix of the tables at most; a stranger gets the spare slot.
static day_state states[2 * MAX_RULES + 1];
static int n_states;
static int n_dirty;              // states with appends not yet synced
static std::size_t waiting_bytes; // bytes appended since the last sync
static long long waiting_ms = -1; // when the first of them was, or -1
static long long synced_ms = LLONG_MIN / 2; // when the last sync was made: long ago

static void sync_file(day_state& s);

void journal_reset()
{
    for (auto& s : states)
        s = day_state{};
    n_states = 0;
    n_dirty = 0;
    waiting_bytes = 0;
    waiting_ms = -1;
    synced_ms = LLONG_MIN / 2;
    tz_ever = false;
}

static day_state& state_of(const char* prefix)
{
    for (int i = 0; i < n_states; ++i)
        if (std::strcmp(states[i].prefix, prefix) == 0)
            return states[i];
    bool known = n_states < 2 * MAX_RULES && strlen2(prefix) < prefix_size;
    day_state& s = states[known ? n_states++ : 2 * MAX_RULES];
    if (s.dirty)
        sync_file(s); // the spare slot, taken by another stranger
    s = day_state{};
    if (known)
        copy_text(s.prefix, prefix);
    return s;
}

// Writes one report line on standard error.
static void report(const char* fmt, ...)
{
    char text[listener_day_path_size + 256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0)
        console_put(err_console, text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
}

// One message could not be filed in the day file at path, for why.
static void not_filed(day_state& s, const char* path, const char* why, std::time_t now)
{
    if (!s.failing) {
        s.failing = true;
        s.lost = 1;
        s.said = now;
        report("listener: journal: %s: %s\n", path, why);
        return;
    }
    ++s.lost;
    if (recheck_due(now, s.said)) {
        s.said = now;
        report("listener: journal: %s: %s (%lu messages not filed so far)\n", path, why, s.lost);
    }
}

// Asks the kernel to write the day file's appends to disk. The file is looked
// up by its name: one that was deleted since holds nothing to keep.
static void sync_file(day_state& s)
{
    s.dirty = false;
    s.unstarted = 0;
    --n_dirty;
    int fd = open(s.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    int err = 0;
    if (fd < 0)
        err = errno == ENOENT ? 0 : errno;
    else {
        if (fdatasync(fd) != 0)
            err = errno;
        close(fd);
    }
    if (err != 0 && !s.sync_failing)
        report("listener: journal: %s: sync: %s\n", s.path, std::strerror(err));
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

bool journal_sync(long long now_ms)
{
    if (n_dirty == 0)
        return false;
    if (waiting_ms < 0)
        waiting_ms = now_ms;
    if (!sync_due(now_ms, synced_ms, waiting_ms, waiting_bytes))
        return true;
    for (int i = 0; i <= 2 * MAX_RULES && n_dirty > 0; ++i)
        if (states[i].dirty)
            sync_file(states[i]);
    synced_ms = now_ms;
    waiting_bytes = 0;
    waiting_ms = -1;
    return false;
}

// A crash (a power cut) can leave a day file ending in NUL bytes, where its
// size was written and its data was not, or in part of a line. Before the
// first line of a run is appended, the NUL bytes at its end are cut away (no
// message holds one) and a partial line is ended, so that the next line
// starts whole. Nothing before the last byte that is not NUL is touched; a
// file that ends in a newline costs one read of its last byte.
static void repair_tail(int fd, off_t size, const char* path)
{
    static char tail[4096];
    off_t keep = size; // just past the last byte that is not NUL
    char last = '\0';
    std::size_t want = 1; // the last byte first: a whole file ends in '\n'
    while (keep > 0) {
        off_t from = keep - std::min(static_cast<off_t>(want), keep);
        std::size_t n = static_cast<std::size_t>(keep - from);
        if (pread(fd, tail, n, from) != static_cast<ssize_t>(n)) {
            report("listener: journal: %s: end not readable: %s\n", path, std::strerror(errno));
            return;
        }
        while (n > 0 && tail[n - 1] == '\0')
            --n;
        if (n > 0) {
            last = tail[n - 1];
            keep = from + static_cast<off_t>(n);
            break;
        }
        keep = from;
        want = sizeof tail;
    }
    if (keep < size) {
        if (ftruncate(fd, keep) != 0) {
            report("listener: journal: %s: %lld NUL bytes left by a crash not removed: %s\n", path,
                   static_cast<long long>(size - keep), std::strerror(errno));
            return;
        }
        report("listener: journal: %s: %lld NUL bytes left by a crash removed\n", path,
               static_cast<long long>(size - keep));
    }
    if (keep > 0 && last != '\n') {
        if (write(fd, "\n", 1) != 1) {
            report("listener: journal: %s: partial line left by a crash not ended: %s\n", path,
                   std::strerror(errno));
            return;
        }
        report("listener: journal: %s: partial line left by a crash ended with a newline\n", path);
    }
}

// Appends len bytes to fd whole, or takes back what part of them it wrote,
// so that the file only ever holds whole lines. Returns 0, or an errno;
// stuck is set when a part written could not be taken back.
static int append_whole(int fd, const char* line, std::size_t len, bool& stuck)
{
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, line + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = n < 0 ? errno : ENOSPC;
            if (done > 0) {
                // O_APPEND left the offset at the end of the part written.
                off_t end = lseek(fd, 0, SEEK_CUR);
                off_t part = static_cast<off_t>(done);
                stuck = end < part || ftruncate(fd, end - part) != 0;
            }
            return err;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int journal(const char* msg, const char* prefix)
{
    return journal_at(msg, prefix, std::time(nullptr));
}

int journal_at(const char* msg, const char* prefix, std::time_t now)
{
    static char path[listener_day_path_size];
    static char line[log_line_size + 32];

    day_state& s = state_of(prefix);
    std::tm when;
    if (!local_time(now, when)) {
        not_filed(s, prefix, "no local date for the clock's time", now);
        return 0;
    }
    if (!day_file_name(path, sizeof path, prefix, when)) {
        not_filed(s, prefix, "day-file name too long", now);
        return 0;
    }
    std::size_t len = log_line(line, sizeof line, msg, when);
    if (len == 0) {
        not_filed(s, path, "log line too long", now);
        return 0;
    }
    if (std::strcmp(s.path, path) != 0) {
        if (s.dirty)
            sync_file(s); // yesterday's last lines, before its name is forgotten
        copy_field(s.path, path);
        s.checked = 0; // a new day's file: look at what it is
    }

    // O_NONBLOCK: a FIFO or a device at the path must never hang the
    // listener in open or write. The first open of a run also reads the
    // file's end, to repair what a crash left there.
    bool first = s.checked == 0;
    int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = open(path, flags | (first ? O_RDWR : O_WRONLY), 0666);
    if (fd < 0 && first && errno == EACCES) {
        first = false; // writable but not readable: appended to, not repaired
        fd = open(path, flags | O_WRONLY, 0666);
    }
    if (fd < 0) {
        not_filed(s, path, errno == ENXIO ? "not a regular file" : std::strerror(errno), now);
        return 0;
    }
    // What the file is, is looked at when it is first opened, then once a
    // minute, and at every message while it fails; a regular file costs
    // no system call more.
    if (s.checked == 0 || s.failing || recheck_due(now, s.checked)) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            not_filed(s, path, "not a regular file", now);
            return 0;
        }
        if (first && st.st_size > 0)
            repair_tail(fd, st.st_size, path);
        s.checked = now;
    }
    bool stuck = false;
    int err = append_whole(fd, line, len, stuck);
    if (err == 0) {
        // Under a flood, the kernel is asked now and then to start writing
        // the appends, without waiting: the sync then finds little left to
        // write, and holds the receive up for no longer than that.
        s.unstarted += len;
        if (s.unstarted >= writeback_bytes) {
            sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            s.unstarted = 0;
        }
    }
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        not_filed(s, path, stuck ? "part of a line written and not taken back" : std::strerror(err),
                  now);
        return 0;
    }
    if (!s.dirty) {
        s.dirty = true;
        ++n_dirty;
    }
    waiting_bytes += len;
    if (s.failing) {
        s.failing = false;
        report("listener: journal: %s: filing again after %lu messages not filed\n", path, s.lost);
    }
    return 0;
}
