// Appending whole lines and repairing a crashed end, on an open day file.
#include <algorithm>
#include <cerrno>
#include <unistd.h>

#include "day_bytes.h"

append_result append_whole(int fd, const char* line, std::size_t len)
{
    append_result r;
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, line + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                r.err = errno;
            else
                r.nothing = true;
            if (done > 0) {
                // O_APPEND left the offset at the end of the part written.
                off_t end = lseek(fd, 0, SEEK_CUR);
                off_t part = static_cast<off_t>(done);
                r.stuck = end < part || ftruncate(fd, end - part) != 0;
            }
            return r;
        }
        done += static_cast<std::size_t>(n);
    }
    return r;
}

tail_repair repair_tail(int fd, off_t size)
{
    static char tail[4096];
    tail_repair r;
    off_t keep = size; // just past the last byte that is not NUL
    char last = '\0';
    std::size_t want = 1; // the last byte first: a whole file ends in '\n'
    while (keep > 0) {
        off_t from = keep - std::min(static_cast<off_t>(want), keep);
        std::size_t n = static_cast<std::size_t>(keep - from);
        ssize_t got = pread(fd, tail, n, from);
        if (got != static_cast<ssize_t>(n)) {
            r.failed = tail_repair::reading;
            r.err = got < 0 ? errno : 0;
            return r;
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
    r.nul_bytes = static_cast<long long>(size - keep);
    r.partial = keep > 0 && last != '\n';
    if (keep < size && ftruncate(fd, keep) != 0) {
        r.failed = tail_repair::cutting;
        r.err = errno;
        return r;
    }
    ssize_t w = r.partial ? write(fd, "\n", 1) : 1;
    if (w != 1) {
        r.failed = tail_repair::ending;
        r.err = w < 0 ? errno : 0;
    }
    return r;
}
