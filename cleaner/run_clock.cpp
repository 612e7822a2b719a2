// The clock the daily run deletes by, and the last run's clocks it is
// judged by, kept in the service's state directory.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "run_clock.h"
#include "text.h"

clock_verdict judge_clock(const run_clock& last, const run_clock& now)
{
    clock_verdict v;
    v.use_s = now.wall_s;
    if (!last.set || std::strcmp(last.boot, now.boot) != 0 || now.boot_s < last.boot_s) {
        v.new_boot = true;
        return v;
    }
    // As far as the wall clock may be from the last run by the boot clock.
    long long allowed = last.wall_s + (now.boot_s - last.boot_s);
    if (now.wall_s > allowed + clock_slack_s) {
        v.use_s = allowed;
        v.ahead = true;
    }
    return v; // a clock behind deletes less: the next run catches up
}

bool read_run_clock(const char* path, run_clock& c)
{
    c = run_clock{};
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return false;
    char text[96];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    // Two numbers and a word, each after one blank, and a newline.
    number_text wall = read_number(text, 1ULL << 62);
    if (!wall.digits || wall.negative || wall.over || *wall.end != ' ')
        return false;
    number_text boot = read_number(wall.end + 1, 1ULL << 62);
    if (!boot.digits || boot.negative || boot.over || *boot.end != ' ')
        return false;
    const char* id = boot.end + 1;
    const char* end = std::strchr(id, '\n');
    std::size_t len = end == nullptr ? 0 : static_cast<std::size_t>(end - id);
    if (len == 0 || len >= sizeof c.boot || end[1] != '\0')
        return false;
    std::memcpy(c.boot, id, len);
    c.boot[len] = '\0';
    c.wall_s = static_cast<long long>(wall.value);
    c.boot_s = static_cast<long long>(boot.value);
    c.set = true;
    return true;
}

bool write_run_clock(const char* path, const run_clock& c)
{
    char tmp[512];
    char text[96];
    int t = std::snprintf(tmp, sizeof tmp, "%s.new", path);
    int n = std::snprintf(text, sizeof text, "%lld %lld %s\n", c.wall_s, c.boot_s, c.boot);
    if (t < 0 || static_cast<std::size_t>(t) >= sizeof tmp || n < 0 || static_cast<std::size_t>(n) >= sizeof text) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    ssize_t w = write(fd, text, static_cast<std::size_t>(n));
    bool ok = w == n && fsync(fd) == 0;
    int err = w >= 0 && w < n ? EIO : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp, path) == 0)
        return true;
    if (ok)
        err = errno;
    unlink(tmp);
    errno = err;
    return false;
}
