// The console: display lines on standard output and failure reports on
// standard error, written so that a slow, stalled or vanished reader never
// holds up the filing. The day files are the record; the console is a view
// of it.
//
// Each stream gets an open file description of its own with O_NONBLOCK (or,
// for a socket such as the system journal's, sends with MSG_DONTWAIT), so
// the flag never reaches the terminal or pipe shared with other programs. A
// line that cannot be written at once is dropped and counted; the count is
// said on the stream before the next line that can be written. A line once
// begun is always finished before anything else, so the stream only ever
// shows whole lines. A stream that fails for good (its reader gone) is
// ignored from then on; SIGPIPE is ignored by main.
//
// The buffering is stdio's own choice for the stream: line by line on a
// terminal, for stderr, or under stdbuf -oL; otherwise in blocks.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "listener.h"

console out_console = {1, "console trop lente : %lu lignes non affichées\n"};
console err_console = {2, "listener: standard error too slow: %lu reports not written\n"};

static FILE* stream_of(const console& c) { return c.number == 1 ? stdout : stderr; }

void console_open(console& c)
{
    FILE* stream = stream_of(c);
    std::fflush(stream);
    struct stat st;
    if (fstat(c.number, &st) != 0) {
        c.broken = true; // closed: there is nothing to show
        return;
    }
    // stdio decided the buffering when the start-up lines were printed.
    std::size_t size = __fbufsize(stream);
    c.lines = __flbf(stream) != 0 || size <= 1;
    c.block = size > 1 && size < sizeof c.buf ? size : sizeof c.buf / 2;

    if (S_ISSOCK(st.st_mode)) {
        c.socket = true;
        c.fd = c.number;
    } else if (S_ISREG(st.st_mode)) {
        c.fd = c.number; // a file never stalls, and keeps its shared offset
    } else {
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", c.number);
        c.fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (c.fd < 0) {
            // No /proc: the flag goes on the shared description instead.
            c.fd = c.number;
            int flags = fcntl(c.fd, F_GETFL);
            if (flags >= 0)
                fcntl(c.fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
}

// Writes what is pending without waiting: everything in line mode, whole
// lines once a block is full otherwise. False when nothing could be written.
static bool drain(console& c)
{
    std::size_t done = 0;
    while (done < c.len) {
        ssize_t n = c.socket ? send(c.fd, c.buf + done, c.len - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                             : write(c.fd, c.buf + done, c.len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                c.broken = true; // the reader is gone: ignore the stream
                c.len = 0;
                return false;
            }
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    std::memmove(c.buf, c.buf + done, c.len - done);
    c.len -= done;
    return done > 0;
}

static void append(console& c, const char* text, std::size_t n)
{
    std::memcpy(c.buf + c.len, text, n);
    c.len += n;
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

    char note[96];
    std::size_t k = 0;
    if (c.lost > 0) {
        int w = std::snprintf(note, sizeof note, c.notice, c.lost);
        k = w > 0 ? static_cast<std::size_t>(w) : 0;
    }
    // Pending output goes first: in line mode the rest of a line begun, in
    // block mode a full block.
    std::size_t room = c.lines ? sizeof c.buf : c.block;
    if (c.len > 0 && (c.lines || c.len + k + n > room))
        drain(c);
    if ((c.lines && c.len > 0) || c.len + k + n > room) {
        ++c.lost;
        return;
    }
    std::size_t before = c.len;
    append(c, note, k);
    append(c, text, n);
    if (!c.lines) {
        c.lost = 0; // accepted into the block, as stdio would
        return;
    }
    if (drain(c) || c.broken) {
        c.lost = 0; // begun: the rest follows before anything else
        return;
    }
    c.len = before; // not a byte written: dropped, and counted
    ++c.lost;
}
