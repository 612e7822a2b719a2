// The console: display lines on standard output and failure reports on
// standard error, written so that a slow, stalled or vanished reader never
// holds up the filing. The day files are the record; the console is a view
// of it.
//
// A file is written without ever waiting, in one of four ways, and the
// flags of a description shared with other programs are never changed:
// - own: a file description of the listener's own with O_NONBLOCK, opened
//   anew through /proc;
// - regular: the shared description of a regular file, which never stalls
//   and keeps its shared offset;
// - socket: the shared socket (the system journal's), sent to with
//   MSG_DONTWAIT;
// - polled: where no description of its own can be had (another user's
//   terminal or pipe), the shared one, written only when poll says it takes
//   output, a pipe no more than it then surely takes (PIPE_BUF), and each
//   write bounded in time (bounded_write).
//
// When both streams are one file (a terminal, 2>&1, the journal's socket),
// they share one buffer, so what each puts reaches the file in the order it
// was put, and a line of one can never land inside a line of the other.
// Standard error, a terminal and a socket go line by line, and so does
// standard output when it was asked for (stdbuf -oL or -o0, on every build:
// see stdbuf_lines); otherwise standard output gathers whole lines into
// blocks of PIPE_BUF bytes, each written when it is full. A line goes line
// by line only onto an empty buffer: one that cannot be written at once, or
// behind the rest of a line cut by a stall, is dropped and counted, and the
// count is said before the stream's next line taken, so the console only
// ever shows whole lines; each stream has its own count. Only a reader gone
// for good (EPIPE, a closed descriptor) ends a file; after any other failure
// the next line is tried. SIGPIPE is ignored by main.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <csignal>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"

// The notices: lines the reader was too slow to take, and lines whose
// write failed (a full disk under a redirection, say), with why.
console out_console = {1, "console trop lente : %lu lignes non affichées\n",
                       "console : %lu lignes non affichées : %s\n"};
console err_console = {2, "listener: standard error too slow: %lu reports not written\n",
                       "listener: standard error: %lu reports not written: %s\n"};

static_assert(console_block <= PIPE_BUF, "a block must go into a pipe in one write");

static console_file files[2]; // standard output's, and standard error's unless it is the same
static console_file closed = {-1, console_file::regular, true}; // a stream that was closed

static FILE* stream_of(const console& c) { return c.number == 1 ? stdout : stderr; }

bool stdbuf_lines()
{
    // stdbuf tells its preloaded library what was asked in _STDBUF_O; a
    // static program (the armhf build) loads no library, so the listener
    // reads it itself, and the same command gives lines on every build.
    const char* mode = std::getenv("_STDBUF_O");
    return mode != nullptr && (std::strcmp(mode, "L") == 0 || std::strcmp(mode, "0") == 0);
}

// Whether a stream on fd goes line by line: standard error, a terminal and a
// socket always; standard output when stdbuf -oL or -o0 asked for it.
static bool line_by_line(const console& c, int fd, const struct stat& st)
{
    return c.number == 2 || isatty(fd) || S_ISSOCK(st.st_mode) || stdbuf_lines();
}

// Takes the file behind fd into f.
static void take_over(console_file& f, int fd, const struct stat& st)
{
    f = console_file{};
    f.fd = fd;
    if (S_ISSOCK(st.st_mode)) {
        f.how = console_file::socket;
        return;
    }
    if (S_ISREG(st.st_mode)) {
        f.how = console_file::regular;
        return;
    }
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
        f.fd = own;
        f.how = console_file::own;
    } else {
        f.how = console_file::polled;
    }
}

// A write to a shared terminal can wait: poll says it takes output as soon
// as there is any room, and a longer line then waits for the rest for as
// long as the reader does (Ctrl-S, a stuck SSH window). Its flags are not
// ours to change, so such a write is bounded by a timer instead: its signal,
// caught by a handler that does nothing and installed without SA_RESTART,
// makes a write blocked past write_bound_us return what it wrote. The timer
// repeats until it is disarmed: a listener paused between arming it and the
// write (a single-core Pi under load) would otherwise take the one signal
// before the write and then wait as long as the reader. The rest is then a
// line begun, finished before the next. This signal handler and the stop's
// are the only ones, and the timer runs only around such a write.
constexpr long write_bound_us = 5000;
static volatile sig_atomic_t bound_passed;

static void on_bound(int) { bound_passed = 1; }

bool arm_write_bound()
{
    static bool installed;
    if (!installed) {
        struct sigaction sa = {};
        sa.sa_handler = on_bound;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the write returns
        installed = sigaction(SIGALRM, &sa, nullptr) == 0;
        if (!installed)
            return false;
    }
    bound_passed = 0;
    struct itimerval on = {{0, write_bound_us}, {0, write_bound_us}};
    return setitimer(ITIMER_REAL, &on, nullptr) == 0;
}

void disarm_write_bound()
{
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
}

static ssize_t bounded_write(int fd, const char* buf, std::size_t n)
{
    if (!arm_write_bound()) {
        errno = EAGAIN; // unbounded, it could wait for ever: not tried
        return -1;
    }
    ssize_t w = write(fd, buf, n);
    int err = errno;
    disarm_write_bound();
    errno = err;
    return w;
}

void console_attach(int out, int err)
{
    struct stat o, e;
    bool has_out = fstat(out, &o) == 0;
    bool has_err = fstat(err, &e) == 0;
    // A closed stream has nothing to show.
    out_console.file = &closed;
    err_console.file = &closed;
    if (has_out) {
        take_over(files[0], out, o);
        out_console.file = &files[0];
        out_console.lines = line_by_line(out_console, out, o);
    }
    if (has_err) {
        bool same = has_out && o.st_dev == e.st_dev && o.st_ino == e.st_ino;
        if (!same)
            take_over(files[1], err, e);
        err_console.file = same ? &files[0] : &files[1];
        err_console.lines = true;
    }
}

void console_open()
{
    std::fflush(stdout);
    std::fflush(stderr);
    console_attach(1, 2);
}

void console_reset()
{
    for (auto& f : files) {
        if (f.how == console_file::own && f.fd > 2)
            close(f.fd);
        f = console_file{};
    }
    for (console* c : {&out_console, &err_console}) {
        c->file = nullptr;
        c->lines = true;
        c->lost = 0;
        c->lost_err = 0;
    }
}

// Whether a failed write means the reader is gone for good.
static bool gone(int err) { return err == EPIPE || err == EBADF || err == ECONNRESET; }

// Writes what is pending without waiting. Returns the bytes written; err is
// set to the errno of a write that failed for another cause than a stall,
// or 0.
static std::size_t drain(console_file& f, int& err)
{
    err = 0;
    std::size_t done = 0;
    while (done < f.len) {
        std::size_t want = f.len - done;
        if (f.how == console_file::polled) {
            struct pollfd p = {f.fd, POLLOUT, 0};
            if (poll(&p, 1, 0) <= 0)
                break; // it would wait
            want = std::min<std::size_t>(want, PIPE_BUF);
        }
        ssize_t n = f.how == console_file::socket   ? send(f.fd, f.buf + done, want, MSG_DONTWAIT | MSG_NOSIGNAL)
                    : f.how == console_file::polled ? bounded_write(f.fd, f.buf + done, want)
                                                    : write(f.fd, f.buf + done, want);
        if (n < 0 && errno == EINTR && f.how == console_file::polled && bound_passed)
            break; // stalled past the bound: tried again next line
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && gone(errno)) {
            f.broken = true;
            f.len = 0;
            return done;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            err = errno;
        if (n <= 0)
            break; // full, stalled, or failing for now: tried again next line
        done += static_cast<std::size_t>(n);
    }
    if (done > 0) {
        std::memmove(f.buf, f.buf + done, f.len - done);
        f.len -= done;
    }
    return done;
}

void console_flush()
{
    std::fflush(stdout);
    std::fflush(stderr);
    int err = 0;
    for (auto& f : files)
        if (f.fd >= 0 && !f.broken && f.len > 0)
            drain(f, err);
}

// Counts one line of c dropped, and why when its write failed.
static void drop(console& c, int err)
{
    ++c.lost;
    if (err != 0)
        c.lost_err = err;
}

void console_vreport(const char* head, const char* fmt, va_list ap)
{
    char text[report_max];
    std::size_t h = std::strlen(head);
    if (h >= sizeof text)
        return; // cannot be: every head is a tag and a path
    std::memcpy(text, head, h);
    int m = std::vsnprintf(text + h, sizeof text - h, fmt, ap);
    if (m < 0)
        return;
    std::size_t n = h + static_cast<std::size_t>(m);
    if (n >= sizeof text) {
        static const char cut[] = "...\n";
        std::memcpy(text + sizeof text - sizeof cut, cut, sizeof cut);
        n = sizeof text - 1;
    }
    console_put(err_console, text, n);
}

void console_report(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    console_vreport("", fmt, ap);
    va_end(ap);
}

void console_put(console& c, const char* text, std::size_t n)
{
    if (c.file == nullptr) {
        // Not taken over yet (start-up, or the unit tests): plain stdio.
        std::fwrite(text, 1, n, stream_of(c));
        return;
    }
    console_file& f = *c.file;
    if (f.broken)
        return;
    char note[160];
    std::size_t k = 0;
    if (c.lost > 0) {
        int w = c.lost_err != 0 ? std::snprintf(note, sizeof note, c.failed, c.lost, std::strerror(c.lost_err))
                                : std::snprintf(note, sizeof note, c.too_slow, c.lost);
        k = w > 0 ? std::min(static_cast<std::size_t>(w), sizeof note - 1) : 0;
    }
    // What is pending goes first: the rest of a line begun, or gathered
    // lines this one does not fit after, or that a line-by-line stream
    // must not wait behind.
    int err = 0;
    if (f.len > 0 && (c.lines || f.len + k + n > sizeof f.buf))
        drain(f, err);
    if (f.broken)
        return;
    if ((c.lines && f.len > 0) || f.len + k + n > sizeof f.buf) {
        drop(c, err);
        return;
    }
    std::memcpy(f.buf + f.len, note, k);
    std::memcpy(f.buf + f.len + k, text, n);
    f.len += k + n;
    if (c.lines && drain(f, err) == 0 && !f.broken) {
        f.len = 0; // not a byte written: dropped, and counted
        drop(c, err);
        return;
    }
    c.lost = 0; // said, or begun, or gathered into the block
    c.lost_err = 0;
}
