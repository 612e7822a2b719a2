// The day-file writer. Each log line is appended with one open, one write and
// one close: the listener holds no day file open between messages, so the
// cleaner or an operator may delete or move one at any time, and the next
// message simply creates it again.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "day_file.h"
#include "listener.h"

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

static void fail(const char* path, const char* why)
{
    std::fprintf(stderr, "listener: journal: %s: %s\n", path, why);
}

int journal(const char* msg, const char* prefix)
{
    static char path[day_path_size];
    static char line[log_line_size + 32];

    // Each call reads the clock anew, so that the name and the stamp agree
    // even for a message filed just after midnight.
    std::time_t now = std::time(nullptr);
    std::tm when;
    if (localtime_r(&now, &when) == nullptr) {
        fail(prefix, "date locale impossible");
        return 0;
    }
    if (!day_file_name(path, sizeof path, prefix, when)) {
        fail(prefix, "nom de fichier trop long");
        return 0;
    }
    std::size_t len = log_line(line, sizeof line, msg, when);
    if (len == 0) {
        fail(path, "ligne trop longue");
        return 0;
    }

    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail(path, std::strerror(errno));
        return 0;
    }
    ssize_t n = write(fd, line, len);
    if (n < 0)
        fail(path, std::strerror(errno));
    else if (static_cast<std::size_t>(n) != len)
        fail(path, "écriture incomplète");
    if (close(fd) != 0)
        fail(path, std::strerror(errno));
    return 0;
}
