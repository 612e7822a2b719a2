// The day-file writer. Each log line is appended with one open, one write and
// one close: the listener holds no day file open between messages, so the
// cleaner or an operator may delete or move one at any time, and the next
// message simply creates it again. A day file only ever holds whole lines,
// and a file that is not a regular one (a FIFO, a device) is reported and
// skipped without ever blocking.
#include <algorithm>
#include <cerrno>
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

bool local_time(std::time_t now, std::tm& out)
{
    // tzset looks at TZ, and when it is unset stats /etc/localtime and reads
    // it again only if it changed: one system call a minute at most.
    static std::time_t looked;
    static bool ever;
    if (!ever || now - looked >= 60 || now < looked) {
        tzset();
        looked = now;
        ever = true;
    }
    return localtime_r(&now, &out) != nullptr;
}

// What the listener knows of the day file of each prefix: its path, when it
// was last found to be a regular file, and whether appending to it fails. A
// failure is said when it starts, at most once a minute while it lasts, with
// the number of messages it cost, and when it ends.
struct day_state {
    char prefix[prefix_size];
    char path[day_path_size];
    std::time_t checked; // when the file was last found regular; 0: never
    bool failing;
    unsigned long lost;  // messages not filed since the failure began
    std::time_t said;    // when the failure was last reported
};
// One per prefix of the tables at most; a stranger gets the spare slot.
static day_state states[2 * MAX_RULES + 1];
static int n_states;

static day_state& state_of(const char* prefix)
{
    for (int i = 0; i < n_states; ++i)
        if (std::strcmp(states[i].prefix, prefix) == 0)
            return states[i];
    bool known = n_states < 2 * MAX_RULES && strlen2(prefix) < prefix_size;
    day_state& s = states[known ? n_states++ : 2 * MAX_RULES];
    s = day_state{};
    if (known)
        copy_text(s.prefix, prefix);
    return s;
}

// Writes one report line on standard error.
static void say(const char* fmt, ...)
{
    char text[day_path_size + 256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0)
        console_put(err_console, text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
}

// One message could not be filed in the day file at path, for why.
static void failed(day_state& s, const char* path, const char* why, std::time_t now)
{
    if (!s.failing) {
        s.failing = true;
        s.lost = 1;
        s.said = now;
        say("listener: journal: %s: %s\n", path, why);
        return;
    }
    ++s.lost;
    if (now - s.said >= 60 || now < s.said) {
        s.said = now;
        say("listener: journal: %s: %s (%lu messages not filed so far)\n", path, why, s.lost);
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
    static char path[day_path_size];
    static char line[log_line_size + 32];

    // Each call reads the clock anew, so that the name and the stamp agree
    // even for a message filed just after midnight.
    std::time_t now = std::time(nullptr);
    day_state& s = state_of(prefix);
    std::tm when;
    if (!local_time(now, when)) {
        failed(s, prefix, "no local date for the clock's time", now);
        return 0;
    }
    if (!day_file_name(path, sizeof path, prefix, when)) {
        failed(s, prefix, "day-file name too long", now);
        return 0;
    }
    std::size_t len = log_line(line, sizeof line, msg, when);
    if (len == 0) {
        failed(s, path, "log line too long", now);
        return 0;
    }
    if (std::strcmp(s.path, path) != 0) {
        copy_field(s.path, path);
        s.checked = 0; // a new day's file: look at what it is
    }

    // O_NONBLOCK: a FIFO or a device at the path must never hang the
    // listener in open or write.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        failed(s, path, errno == ENXIO ? "not a regular file" : std::strerror(errno), now);
        return 0;
    }
    // What the file is, is looked at when it is first opened, then once a
    // minute, and at every message while it fails; a regular file costs
    // no system call more.
    if (s.checked == 0 || s.failing || now - s.checked >= 60 || now < s.checked) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            failed(s, path, "not a regular file", now);
            return 0;
        }
        s.checked = now;
    }
    bool stuck = false;
    int err = append_whole(fd, line, len, stuck);
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        failed(s, path, stuck ? "part of a line written and not taken back" : std::strerror(err),
               now);
        return 0;
    }
    if (s.failing) {
        s.failing = false;
        say("listener: journal: %s: filing again after %lu messages not filed\n", path, s.lost);
    }
    return 0;
}
