// The console: display lines on standard output and failure reports on
// standard error, written so that a slow, stalled or vanished reader never
// holds up the filing. The day files are the record; the console is a view
// of it.
//
// A stream is written without ever waiting, in one of three ways, and the
// flags of a description shared with other programs are never changed:
// - own: a file description of the listener's own with O_NONBLOCK, opened
//   anew through /proc; or the shared one for a regular file, which never
//   stalls and keeps its shared offset;
// - socket: the shared socket (the system journal's), sent to with
//   MSG_DONTWAIT;
// - polled: where no description of its own can be had (another user's
//   terminal or pipe), the shared one, written only when poll says it takes
//   output, a pipe no more than it then surely takes (PIPE_BUF), and each
//   write bounded in time (bounded_write).
//
// Standard error, a terminal and a socket go line by line, and so does
// standard output when it was asked for (stdbuf -oL or -o0, on every build:
// see stdbuf_lines); otherwise
// standard output gathers whole lines into blocks of PIPE_BUF bytes, each
// written when it is full. A line that cannot be taken is dropped and
// counted, and the count is said before the next line taken. A line once
// begun is finished before anything else on that file, by either stream, so
// the console only ever shows whole lines; the rest of a line cut by a
// stall comes with the next message. Only a reader gone for good (EPIPE, a
// closed descriptor) ends a stream; after any other failure the next line is
// tried. SIGPIPE is ignored by main.
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

#include "listener.h"

console out_console = {1, "console trop lente : %lu lignes non affichées\n"};
console err_console = {2, "listener: standard error too slow: %lu reports not written\n"};

static_assert(console_block <= PIPE_BUF, "a block must go into a pipe in one write");

static FILE* stream_of(const console& c) { return c.number == 1 ? stdout : stderr; }

bool stdbuf_lines()
{
    // stdbuf tells its preloaded library what was asked in _STDBUF_O; a
    // static program (the armhf build) loads no library, so the listener
    // reads it itself, and the same command gives lines on every build.
    const char* mode = std::getenv("_STDBUF_O");
    return mode != nullptr && (std::strcmp(mode, "L") == 0 || std::strcmp(mode, "0") == 0);
}

// Whether a stream goes line by line: standard error, a terminal and a
// socket always; standard output when stdbuf -oL or -o0 asked for it.
static bool line_by_line(const console& c, const struct stat& st)
{
    return c.number == 2 || isatty(c.number) || S_ISSOCK(st.st_mode) || stdbuf_lines();
}

static void take_over(console& c, const struct stat& st)
{
    c.lines = line_by_line(c, st);
    c.fd = c.number;
    if (S_ISSOCK(st.st_mode)) {
        c.how = console::socket;
        return;
    }
    if (S_ISREG(st.st_mode)) {
        c.how = console::own;
        return;
    }
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", c.number);
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        c.fd = fd;
        c.how = console::own;
    } else {
        c.how = console::polled;
    }
}

// A write to a shared terminal can wait: poll says it takes output as soon
// as there is any room, and a longer line then waits for the rest for as
// long as the reader does (Ctrl-S, a stuck SSH window). Its flags are not
// ours to change, so such a write is bounded by a one-shot timer instead:
// its signal, caught by a handler that does nothing and installed without
// SA_RESTART, makes a write blocked past write_bound_us return what it
// wrote. The rest is then a line begun, finished before the next. This is
// the only signal handler, and its timer runs only around such a write.
constexpr long write_bound_us = 5000;
static volatile sig_atomic_t bound_passed;

static void on_bound(int) { bound_passed = 1; }

static void install_bound()
{
    struct sigaction sa = {};
    sa.sa_handler = on_bound;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the write returns
    sigaction(SIGALRM, &sa, nullptr);
}

static ssize_t bounded_write(int fd, const char* buf, std::size_t n)
{
    bound_passed = 0;
    struct itimerval on = {{0, 0}, {0, write_bound_us}}, off = {};
    setitimer(ITIMER_REAL, &on, nullptr);
    ssize_t w = write(fd, buf, n);
    int err = errno;
    setitimer(ITIMER_REAL, &off, nullptr);
    errno = err;
    return w;
}

void console_open()
{
    std::fflush(stdout);
    std::fflush(stderr);
    struct stat out, err;
    bool has_out = fstat(1, &out) == 0;
    bool has_err = fstat(2, &err) == 0;
    // A closed stream has nothing to show.
    out_console.broken = !has_out;
    err_console.broken = !has_err;
    if (has_out)
        take_over(out_console, out);
    if (has_err)
        take_over(err_console, err);
    if (out_console.how == console::polled || err_console.how == console::polled)
        install_bound();
    // One file behind both (2>&1, a terminal, the journal's socket): a line
    // of one never lands inside a line begun by the other.
    if (has_out && has_err && out.st_dev == err.st_dev && out.st_ino == err.st_ino) {
        out_console.peer = &err_console;
        err_console.peer = &out_console;
    }
}

// Whether a failed write means the reader is gone for good.
static bool gone(int err) { return err == EPIPE || err == EBADF || err == ECONNRESET; }

// Writes what is pending without waiting. Returns the bytes written.
static std::size_t drain(console& c)
{
    std::size_t done = 0;
    while (done < c.len) {
        std::size_t want = c.len - done;
        if (c.how == console::polled) {
            struct pollfd p = {c.fd, POLLOUT, 0};
            if (poll(&p, 1, 0) <= 0)
                break; // it would wait
            want = std::min<std::size_t>(want, PIPE_BUF);
        }
        ssize_t n = c.how == console::socket   ? send(c.fd, c.buf + done, want, MSG_DONTWAIT | MSG_NOSIGNAL)
                    : c.how == console::polled ? bounded_write(c.fd, c.buf + done, want)
                                               : write(c.fd, c.buf + done, want);
        if (n < 0 && errno == EINTR && c.how == console::polled && bound_passed)
            break; // stalled past the bound: tried again next line
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && gone(errno)) {
            c.broken = true;
            c.len = 0;
            c.begun = false;
            return done;
        }
        if (n <= 0)
            break; // full, stalled, or failing for now: tried again next line
        done += static_cast<std::size_t>(n);
    }
    if (done > 0) {
        c.begun = done < c.len && c.buf[done - 1] != '\n';
        std::memmove(c.buf, c.buf + done, c.len - done);
        c.len -= done;
    }
    return done;
}

void console_put(console& c, const char* text, std::size_t n)
{
    if (c.fd < 0) {
        // Not taken over yet (start-up, or the unit tests): plain stdio.
        if (!c.broken)
            std::fwrite(text, 1, n, stream_of(c));
        return;
    }
    if (c.broken)
        return;
    // A line the other stream began on the same file is finished first.
    if (c.peer != nullptr && c.peer->begun) {
        drain(*c.peer);
        if (c.peer->begun) {
            ++c.lost;
            return;
        }
    }
    char note[96];
    std::size_t k = 0;
    if (c.lost > 0) {
        int w = std::snprintf(note, sizeof note, c.notice, c.lost);
        k = w > 0 ? static_cast<std::size_t>(w) : 0;
    }
    // What is pending goes first: in line mode the rest of a line begun, in
    // block mode a full block.
    if (c.len > 0 && (c.lines || c.len + k + n > sizeof c.buf))
        drain(c);
    if ((c.lines && c.len > 0) || c.len + k + n > sizeof c.buf) {
        ++c.lost;
        return;
    }
    std::memcpy(c.buf + c.len, note, k);
    std::memcpy(c.buf + c.len + k, text, n);
    c.len += k + n;
    if (c.lines && drain(c) == 0 && !c.broken) {
        c.len = 0; // not a byte written: dropped, and counted
        ++c.lost;
        return;
    }
    c.lost = 0; // said, or begun, or gathered into the block
}
